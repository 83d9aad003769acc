"""Scene detection for video files: the `vantrel` command and `vantrel.analyze()`."""
from .analysis import Analysis, DecodeError, DetectorSettings, LogMessage, Progress, Scene, Scores, analyze
from .errors import AnalysisError
from .methods import METHODS, Transition
from .rows import scene_rows

__all__ = ["Analysis", "AnalysisError", "DecodeError", "DetectorSettings", "LogMessage", "METHODS", "Progress",
           "Scene", "Scores", "Transition", "analyze", "scene_rows"]
