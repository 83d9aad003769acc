"""Scene detection for video files: the `vantrel` command and `vantrel.analyze()`."""
from .analysis import (Analysis, AnalysisError, DecodeError, DetectorSettings, LogMessage, Progress, Scene,
                       Scores, analyze)

__all__ = ["Analysis", "AnalysisError", "DecodeError", "DetectorSettings", "LogMessage", "Progress", "Scene",
           "Scores", "analyze", "scene_rows"]


def __getattr__(name: str):
    # scene_rows is loaded on first use: its module costs more to import than analyze() alone needs.
    if name == "scene_rows":
        from .table import scene_rows
        return scene_rows
    raise AttributeError(f"module 'vantrel' has no attribute {name!r}")
