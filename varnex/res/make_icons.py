#!/usr/bin/python3
"""Draws the toolbar buttons (16 x 15) and the program icon as PNG files.

Run from this folder after changing a drawing; the PNG files are committed."""
from PIL import Image, ImageDraw

BLACK, WHITE = (0, 0, 0, 255), (255, 255, 255, 255)
GREY, DARK = (192, 192, 192, 255), (128, 128, 128, 255)
YELLOW, BLUE = (230, 190, 60, 255), (40, 70, 170, 255)
RED, GREEN = (220, 30, 30, 255), (30, 170, 60, 255)


def button():
    return Image.new("RGBA", (16, 15), (0, 0, 0, 0))


def page(d, x0, y0, x1, y1):
    d.rectangle([x0, y0, x1, y1], fill=WHITE, outline=BLACK)


def draw_open():
    im = button(); d = ImageDraw.Draw(im)
    d.polygon([(1, 4), (5, 4), (6, 5), (12, 5), (12, 13), (1, 13)], fill=YELLOW, outline=BLACK)
    d.polygon([(3, 8), (15, 8), (12, 13), (1, 13)], fill=(250, 220, 110, 255), outline=BLACK)
    d.line([(9, 1), (12, 1), (14, 3)], fill=BLACK); d.line([(14, 1), (14, 3), (12, 3)], fill=BLACK)
    return im


def draw_save():
    im = button(); d = ImageDraw.Draw(im)
    d.rectangle([1, 1, 14, 13], fill=BLUE, outline=BLACK)
    d.rectangle([4, 1, 11, 6], fill=WHITE, outline=BLACK)
    d.rectangle([4, 9, 11, 13], fill=GREY, outline=BLACK)
    d.rectangle([9, 10, 10, 12], fill=BLUE)
    return im


def draw_cut():
    im = button(); d = ImageDraw.Draw(im)
    d.line([(4, 1), (9, 9)], fill=BLACK); d.line([(11, 1), (6, 9)], fill=BLACK)
    d.ellipse([2, 9, 6, 13], outline=BLUE); d.ellipse([9, 9, 13, 13], outline=BLUE)
    return im


def draw_copy():
    im = button(); d = ImageDraw.Draw(im)
    page(d, 1, 1, 8, 10); page(d, 6, 4, 14, 13)
    for y in (7, 9, 11):
        d.line([(8, y), (12, y)], fill=BLUE)
    return im


def draw_paste():
    im = button(); d = ImageDraw.Draw(im)
    d.rectangle([1, 2, 10, 13], fill=(170, 120, 60, 255), outline=BLACK)
    d.rectangle([4, 1, 7, 3], fill=GREY, outline=BLACK)
    page(d, 7, 6, 14, 14)
    for y in (9, 11):
        d.line([(9, y), (12, y)], fill=BLUE)
    return im


def draw_print():
    im = button(); d = ImageDraw.Draw(im)
    page(d, 4, 1, 11, 6)
    d.rectangle([1, 6, 14, 11], fill=GREY, outline=BLACK)
    d.point((12, 8), fill=GREEN)
    page(d, 4, 10, 11, 14)
    return im


def draw_about():
    im = button(); d = ImageDraw.Draw(im)
    d.ellipse([1, 0, 14, 13], fill=BLUE, outline=BLACK)
    d.rectangle([7, 6, 8, 10], fill=WHITE); d.rectangle([7, 3, 8, 4], fill=WHITE)
    return im


def draw_program(size):
    """A picture with an object outlined in red on background seeds in green."""
    im = Image.new("RGBA", (size, size), (0, 0, 0, 0)); d = ImageDraw.Draw(im)
    s = size / 128.0
    d.rounded_rectangle([4 * s, 4 * s, 124 * s, 124 * s], radius=14 * s, fill=(250, 250, 250, 255),
                        outline=(60, 60, 60, 255), width=max(1, round(4 * s)))
    d.ellipse([30 * s, 28 * s, 98 * s, 100 * s], fill=(150, 90, 50, 255))
    d.ellipse([30 * s, 28 * s, 98 * s, 100 * s], outline=RED, width=max(1, round(6 * s)))
    for x, y in ((16, 18), (106, 20), (14, 104), (108, 106)):
        d.ellipse([(x - 5) * s, (y - 5) * s, (x + 5) * s, (y + 5) * s], fill=GREEN)
    d.line([(52 * s, 64 * s), (76 * s, 64 * s)], fill=RED, width=max(1, round(6 * s)))
    return im


if __name__ == "__main__":
    for name, draw in (("open", draw_open), ("save", draw_save), ("cut", draw_cut), ("copy", draw_copy),
                       ("paste", draw_paste), ("print", draw_print), ("about", draw_about)):
        draw().save(f"{name}.png")
    draw_program(128).save("varnex.png")
    draw_program(16).save("document.png")
