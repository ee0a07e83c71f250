"""Speech synthesis with eSpeak NG (optional extra 'synth'), driven through its C API."""

import numpy as np
import numpy.typing as npt

DEFAULT_VOICES: tuple[str, ...]
"""The English voices `prepare_synth` draws from by default (voice names with eSpeak NG variants)."""

def synthesize(text: str, voice: str = "en-us", rate: int = 175, pitch: int = 50, pitch_range: int = 50) -> npt.NDArray[np.int16]:
    """Speaks `text` with eSpeak NG and returns the samples as a 1-D int16 array at sample_rate() Hz.
    voice: an eSpeak NG voice name, optionally with a variant ('en-us', 'en+f3', 'en-gb-x-rp+m2');
    rate: words per minute (80-450); pitch and pitch_range: 0-100.
    Raises ModuleNotFoundError naming the 'synth' extra when eSpeak NG is not installed."""

def sample_rate() -> int:
    """Sample rate of synthesize()'s output (22050 Hz for eSpeak NG)."""

def is_available() -> bool:
    """Whether the optional eSpeak NG package (extra 'synth') is installed."""
