"""Inputs: every raster opened through one gate, described as picklable sources and read by window.

Readers per kind of input, remote copies, value ranges and the conversion to 8 bits, validity
masks, georeferences and the common grid of two images, STAC items and searches.
"""
