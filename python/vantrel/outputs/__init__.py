"""What the command makes of an analysis: the scene list formats, the per-frame scores, the report
page, the contact sheet, the clips of `--split` and the scene table."""
