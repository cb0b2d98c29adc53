"""Writing: the writer registry with one writer per format, the figure, run.json, the velocity cube
on disk, and publishing (staging and the journalled commit into the output folder)."""
