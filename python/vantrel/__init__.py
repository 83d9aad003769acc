"""Batch scene detection on top of vantrel_rs."""
