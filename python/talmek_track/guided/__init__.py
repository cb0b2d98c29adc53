"""Guided matching: coarse-to-fine passes and reference maps that predict where each point is
searched, the field tools they use (the normalised median test, gap filling) and the bend test."""
