"""Whether the desktop wizard's side picture shows as a rectangle, read from a
picture of its window: along the picture's top, right and bottom edges its
pixels must keep to the colours of the window's background just right of it.
That background band must itself be even: a band that holds anything else (a
control, a border, a gradient) would widen the colours allowed until any
rectangle passed, so such a band is a failure of its own."""
import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf  # noqa: E402

SLACK = 6  # levels of 255: the background's own spread at most, and a step beyond it


class Picture:
    def __init__(self, path):
        pixbuf = GdkPixbuf.Pixbuf.new_from_file(path)
        self.data = pixbuf.get_pixels()
        self.stride, self.channels = pixbuf.get_rowstride(), pixbuf.get_n_channels()

    def at(self, x, y):
        start = y * self.stride + x * self.channels
        return tuple(self.data[start:start + 3])


def background(path, box, band):
    """The colours just right of the picture: (lowest, highest) per channel.
    box: (left, top, right, bottom) of the picture in the file's pixels; band:
    how many pixels deep its edges are read."""
    left, top, right, bottom = box
    picture = Picture(path)
    seen = [picture.at(x, y) for x in range(right + 1, right + band) for y in range(top, bottom)]
    return tuple(min(c[i] for c in seen) for i in range(3)), \
        tuple(max(c[i] for c in seen) for i in range(3))


def rectangle_showing(path, box, band):
    """None when the picture's edges are the background's colours, else where
    the first step is and how large."""
    left, top, right, bottom = box
    picture = Picture(path)
    low, high = background(path, box, band)
    spread = max(high[i] - low[i] for i in range(3))
    if spread > SLACK:
        return "the background right of the picture is not even (%s..%s, a spread of %d), " \
            "so its edges cannot be judged" % (low, high, spread)
    edges = (("top", range(left, right), range(top, top + band)),
             ("right", range(right - band, right), range(top, bottom)),
             ("bottom", range(left, right), range(bottom - band, bottom)))
    for edge, xs, ys in edges:
        for y in ys:
            for x in xs:
                colour = picture.at(x, y)
                step = max(max(low[i] - colour[i], colour[i] - high[i]) for i in range(3))
                if step > SLACK:
                    return "a step of %d at the %s edge, (%d, %d) is %s, the background %s..%s" \
                        % (step, edge, x, y, colour, low, high)
    return None
