"""Scene detection for video files: the `vantrel` command and `vantrel.analyze()`."""
from .analysis import (Analysis, AnalysisError, DecodeError, DetectorSettings, LogMessage, Progress, Scene,
                       Scores, analyze)
from .rows import scene_rows

__all__ = ["Analysis", "AnalysisError", "DecodeError", "DetectorSettings", "LogMessage", "Progress", "Scene",
           "Scores", "analyze", "scene_rows"]
