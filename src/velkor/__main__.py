"""`python -m velkor ...` runs the `velkor` command."""

from velkor.cli import main

raise SystemExit(main())
