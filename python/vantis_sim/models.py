"""The models the instrument can be fitted to, by the model ring's value: the
ring's text, the short name the tools accept, and a frame's shape (LEDs,
coordinates per LED, and the extra words of the A download variants)."""

from dataclasses import dataclass


@dataclass(frozen=True)
class Model:
    number: int
    text: str        # the model ring's item
    short: str       # the short name of vantis-sim --model and vantis-ctl model
    leds: int
    axes: int
    extra_words: int

    @property
    def words(self):
        """Coordinate words per frame."""
        return self.leds * self.axes


MODELS = (
    Model(1, "WorldSID", "worldsid", 18, 3, 6),
    Model(2, "Hybrid III 50th Male", "h3-50", 12, 2, 2),
    Model(3, "Hybrid III 50th Male 3-axis", "h3-50-3axis", 6, 3, 3),
    Model(4, "Hybrid III 5th Female", "h3-5", 12, 2, 2),
    Model(5, "SIDIIs", "sid2s", 6, 3, 3),
    Model(6, "Polar", "polar", 6, 2, 2),
    Model(7, "Ballistic", "ballistic", 3, 3, 3),
    Model(8, "Hybrid III 50th Male Adjustable", "h3-50-adjustable", 12, 2, 2),
    Model(9, "WorldSID 5th", "worldsid-5th", 18, 3, 6),
    Model(10, "2ndGen WorldSID", "worldsid-2ndgen", 18, 3, 6),
)


def find_model(name):
    """The Model named by its number (int or digits), its ring text or its short
    name, in any case; None for 0 or "none"; ValueError for anything else."""
    text = str(name).strip()
    if text.lower() in ("0", "none"):
        return None
    for m in MODELS:
        if text.lower() in (str(m.number), m.text.lower(), m.short):
            return m
    raise ValueError(f"unknown model {name!r}: expected 0 to 10, none, a ring text "
                     f"or one of {', '.join(m.short for m in MODELS)}")


def extra_words_for(header_words):
    """The extra words of an A-variant frame of header_words words in all."""
    for m in MODELS:
        if m.words + m.extra_words == header_words:
            return m.extra_words
    raise ValueError(f"no model has frames of {header_words} words with extra words")
