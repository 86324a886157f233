"""The .f32 picture files the interop writers make (f32.h): a text line
"rows cols channels", then little-endian 32-bit floats row by row."""
import numpy as np


def read_f32(path):
    with open(path, "rb") as f:
        rows, cols, channels = (int(v) for v in f.readline().split())
        return np.frombuffer(f.read(), dtype="<f4").reshape(rows, cols, channels)
