"""A one-line progress bar on stderr for long demo runs.

Drawn only when the stream is a terminal, and only once the run has lasted a
moment, so short runs and redirected output stay clean.
"""

import sys
import time
from typing import Optional

from korvo.reporter._types import TextOut

_WIDTH = 30


class Progress:
    def __init__(self, total: int, stream: Optional[TextOut] = None, delay: float = 0.3,
                 interval: float = 0.1) -> None:
        self.stream = sys.stderr if stream is None else stream
        try:
            self.enabled = bool(self.stream.isatty())
        except (AttributeError, ValueError):  # closed or not a real stream
            self.enabled = False
        self.total = max(int(total), 1)
        self.delay = delay
        self.interval = interval
        self.started = time.monotonic()
        self.next_draw = self.started + delay
        self.drawn = False

    def update(self, done: int, label: str = "building") -> None:
        """Reports `done` of `total` units; cheap when nothing is drawn."""
        if not self.enabled:
            return
        now = time.monotonic()
        if now < self.next_draw:
            return
        self.next_draw = now + self.interval
        share = min(done / self.total, 1.0)
        filled = int(share * _WIDTH)
        bar = "#" * filled + "." * (_WIDTH - filled)
        self._draw("%-9s [%s] %3d%%  %s/%s nodes" % (
            label, bar, int(share * 100), format(done, ","), format(self.total, ",")))

    def phase(self, label: str) -> None:
        """Names the step now running (writing an output) once a bar is shown."""
        if self.enabled and (self.drawn or time.monotonic() >= self.started + self.delay):
            self._draw(label + " ...")

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.drawn = False

    def _draw(self, text: str) -> None:
        self.stream.write("\r\x1b[K" + text)
        self.stream.flush()
        self.drawn = True
