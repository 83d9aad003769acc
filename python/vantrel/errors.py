"""The error of a failed analysis, shared by every layer of the package (it imports nothing of it)."""
from __future__ import annotations

# The engine's error kinds, in the order of its enum.
CATEGORIES = ("configuration", "io", "decode", "unsupported", "internal")


class AnalysisError(RuntimeError):
    """An analysis that failed: the text is the category prefix, the message and its causes.

    `category` is one of "configuration", "io", "decode", "unsupported", "internal";
    `messages` holds FFmpeg's log lines of the failed analysis, as `Analysis.messages` does.
    """

    def __init__(self, category: str, text: str, messages: tuple = ()):
        super().__init__(text)
        self.category = category
        self.messages = messages

    def __reduce__(self):
        return AnalysisError, (self.category, str(self), self.messages)
