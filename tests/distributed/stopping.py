"""velkor with rank 1 stopping in its second training epoch, killed (SIGKILL) or raising, for
test_distributed.py to run under torchrun:  python stopping.py kill|raise velkor-arguments..."""

import os
import signal
import sys

from velkor import cli
from velkor.trainers.wistoke import LMTrainer

original = LMTrainer._train_epoch
epochs = []


def stopping_on_rank_1(self, loader):
    epochs.append(1)
    if len(epochs) == 2 and os.environ["RANK"] == "1":
        if sys.argv[1] == "kill":
            os.kill(os.getpid(), signal.SIGKILL)
        raise RuntimeError("rank 1 stopped on purpose")
    return original(self, loader)


LMTrainer._train_epoch = stopping_on_rank_1
sys.exit(cli.main(sys.argv[2:]))
