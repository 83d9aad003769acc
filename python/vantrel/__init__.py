"""Scene detection for video files: the `vantrel` command and `vantrel.analyze()`."""
from .analysis import (Analysis, AnalysisError, DecodeError, DetectorSettings, LogMessage, Progress, Scene,
                       Scores, analyze)

__all__ = ["Analysis", "AnalysisError", "DecodeError", "DetectorSettings", "LogMessage", "Progress", "Scene",
           "Scores", "analyze"]
