#!/usr/bin/env python3
"""Draws the wiring picture of the operator's guide (wiring.svg): a 9-pin
serial plug seen from its solder side, a straight key between DTR and DSR,
and the other pairs of pins that work; below it the same plug with the
keyer's paddle: common on DTR, dit on DSR, dah on CTS. Standard library only;
run it from anywhere and commit what it writes next to it."""

import os

HERE = os.path.dirname(os.path.abspath(__file__))

WIDTH, HEIGHT = 940, 1090
PADDLE_DY = 430  # the paddle's section: the straight key's, this much lower
PITCH = 56  # between neighbouring pins
TOP_ROW_Y, BOTTOM_ROW_Y = 150, 202
FIRST_PIN_X = 150
PIN_RADIUS = 15

INK = "#222"
METAL = "#c9ccd2"
SUPPLY = "#c0392b"  # the wire from the output that supplies the key
SENSE = "#2061b0"   # the wire to the input that Velkin watches
DAH = "#1e8449"     # the paddle's second input, the dah line

# Pin number and line name, as the PC's port has them.
PINS = {1: "RLSD", 2: "RxD", 3: "TxD", 4: "DTR", 5: "GND", 6: "DSR", 7: "RTS", 8: "CTS", 9: "RING"}

# The pairs a key can close, the KeyLine to write in config.ini, and a note.
PAIRS = [
    ("4 DTR", "6 DSR", "DSR", "the usual pair, drawn on the left"),
    ("7 RTS", "8 CTS", "CTS", ""),
    ("4 DTR", "1 RLSD", "RLSD", ""),
    ("4 DTR", "9 RING", "RING", "avoid: many ports report only the release"),
]


def pin_position(number, dy=0):
    """Seen from the solder side of the plug, pin 1 is top left."""
    if number <= 5:
        return FIRST_PIN_X + (number - 1) * PITCH, TOP_ROW_Y + dy
    return FIRST_PIN_X + PITCH // 2 + (number - 6) * PITCH, BOTTOM_ROW_Y + dy


def text(x, y, content, size=15, anchor="middle", weight="normal", fill=INK):
    content = content.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    return (f'<text x="{x}" y="{y}" font-size="{size}" text-anchor="{anchor}" font-weight="{weight}" '
            f'fill="{fill}">{content}</text>')


def shell_box(dy=0):
    """Left, right, top and bottom of the D-shaped shell."""
    return FIRST_PIN_X - 48, FIRST_PIN_X + 4 * PITCH + 48, TOP_ROW_Y - 34 + dy, BOTTOM_ROW_Y + 32 + dy


def connector_shell(dy=0):
    left, right, top, bottom = shell_box(dy)
    slant = 26
    return [
        # The flange with its two screw holes, then the D-shaped shell.
        f'<rect x="{left - 44}" y="{top - 18}" width="{right - left + 88}" height="{bottom - top + 36}" '
        f'rx="8" fill="{METAL}" stroke="{INK}" stroke-width="2"/>',
        f'<circle cx="{left - 22}" cy="{(top + bottom) // 2}" r="9" fill="white" stroke="{INK}" stroke-width="2"/>',
        f'<circle cx="{right + 22}" cy="{(top + bottom) // 2}" r="9" fill="white" stroke="{INK}" stroke-width="2"/>',
        f'<path d="M{left} {top} H{right} L{right - slant} {bottom} H{left + slant} Z" fill="#f4f1e8" '
        f'stroke="{INK}" stroke-width="3" stroke-linejoin="round"/>',
    ]


def connector_pins(wired, dy=0):
    """`wired` gives the colour of each pin that has a wire."""
    _, _, top, bottom = shell_box(dy)
    parts = []
    for number, name in PINS.items():
        x, y = pin_position(number, dy)
        colour = wired.get(number, "white")
        parts.append(f'<circle cx="{x}" cy="{y}" r="{PIN_RADIUS}" fill="{colour}" stroke="{INK}" stroke-width="2"/>')
        parts.append(text(x, y + 5, str(number), 14, weight="bold", fill="white" if number in wired else INK))
        label_y = top - 26 if number <= 5 else bottom + 40
        parts.append(text(x, label_y, name, 14, weight="bold" if number in wired else "normal"))
    return parts


def key_and_wires():
    supply_x, supply_y = pin_position(4)
    sense_x, sense_y = pin_position(6)
    contact_y = 380
    pivot_x, stop_x = sense_x + 40, supply_x - 40
    wire = 'fill="none" stroke-width="4" stroke-linejoin="round"'
    return [
        # Soldered at the back of the pins, running down to the key.
        f'<path d="M{supply_x} {supply_y} V{contact_y} H{stop_x}" stroke="{SUPPLY}" {wire}/>',
        f'<path d="M{sense_x} {sense_y} l-26 26 V{contact_y} H{pivot_x}" stroke="{SENSE}" {wire}/>',
        # The key: a lever on its pivot, held up by its spring over the contact.
        f'<line x1="{pivot_x}" y1="{contact_y}" x2="{stop_x + 34}" y2="{contact_y - 34}" stroke="{INK}" '
        f'stroke-width="6" stroke-linecap="round"/>',
        f'<ellipse cx="{stop_x + 40}" cy="{contact_y - 40}" rx="18" ry="11" fill="{INK}"/>',
        f'<circle cx="{pivot_x}" cy="{contact_y}" r="7" fill="white" stroke="{INK}" stroke-width="3"/>',
        f'<circle cx="{stop_x}" cy="{contact_y}" r="7" fill="white" stroke="{INK}" stroke-width="3"/>',
        text((pivot_x + stop_x) // 2, contact_y + 34, "straight key: closed is key down", 14),
    ]


def pairs_table():
    x, y = 520, 84
    parts = [text(x, y, "Key between pins", 16, "start", "bold"), text(x + 230, y, "KeyLine", 16, "start", "bold")]
    for index, (first, second, line, note) in enumerate(PAIRS):
        row_y = y + 40 + index * 48
        weight = "bold" if index == 0 else "normal"
        parts.append(text(x, row_y, f"{first}  and  {second}", 15, "start", weight))
        parts.append(text(x + 230, row_y, line, 15, "start", weight))
        if note:
            parts.append(text(x, row_y + 19, note, 13, "start", fill="#555"))
    return parts


def paddle_and_wires(dy):
    """The paddle seen from above, its three terminals at the back: dit,
    common, dah. The dah wire hops over the common one where they cross."""
    supply_x, supply_y = pin_position(4, dy)
    dit_x, dit_y = pin_position(6, dy)
    dah_x, dah_y = pin_position(8, dy)
    terminal_y = 360 + dy
    dit_terminal, dah_terminal = supply_x - 88, supply_x + 88
    dah_run_y = 302 + dy
    wire = 'fill="none" stroke-width="4" stroke-linejoin="round"'
    base_top = terminal_y - 12
    column_top, column_bottom = base_top + 52, base_top + 112
    piece_top, piece_bottom = column_bottom - 14, column_bottom + 70
    left_piece, right_piece = supply_x - 26, supply_x + 18
    parts = [
        # The base, the column that holds the levers, and the two finger pieces.
        f'<rect x="{dit_terminal - 34}" y="{base_top}" width="{dah_terminal - dit_terminal + 68}" height="100" '
        f'rx="10" fill="{METAL}" stroke="{INK}" stroke-width="2"/>',
        f'<rect x="{supply_x - 14}" y="{column_top}" width="28" height="{column_bottom - column_top}" rx="4" '
        f'fill="#8a8f98" stroke="{INK}" stroke-width="2"/>',
        f'<rect x="{left_piece}" y="{piece_top}" width="8" height="{piece_bottom - piece_top}" rx="3" fill="{INK}"/>',
        f'<rect x="{right_piece}" y="{piece_top}" width="8" height="{piece_bottom - piece_top}" rx="3" fill="{INK}"/>',
        # Soldered at the back of the pins, running down to the terminals.
        f'<path d="M{supply_x} {supply_y} V{terminal_y}" stroke="{SUPPLY}" {wire}/>',
        f'<path d="M{dit_x} {dit_y} l-26 26 V{dah_run_y + 20} H{dit_terminal} V{terminal_y}" stroke="{SENSE}" {wire}/>',
        f'<path d="M{dah_x} {dah_y} l-28 28 V{dah_run_y} H{supply_x - 10} a10 10 0 0 1 20 0 H{dah_terminal} '
        f'V{terminal_y}" stroke="{DAH}" {wire}/>',
    ]
    for x, colour, name in ((dit_terminal, SENSE, "dit"), (supply_x, SUPPLY, "common"), (dah_terminal, DAH, "dah")):
        parts.append(f'<circle cx="{x}" cy="{terminal_y}" r="8" fill="{colour}" stroke="{INK}" stroke-width="2"/>')
        parts.append(text(x, terminal_y + 30, name, 14, weight="bold"))
    press_y = piece_top + 44
    parts += [
        text(left_piece - 12, press_y, "thumb: dit \u2192", 14, "end"),
        text(right_piece + 20, press_y, "\u2190 finger: dah", 14, "start"),
        text(supply_x, piece_bottom + 28, "paddle seen from above, for the right hand", 14),
    ]
    return parts


def paddle_table(dy):
    x, y = 520, 84 + dy
    columns = (x, x + 170, x + 250)
    parts = [text(columns[0], y, "Paddle terminal", 16, "start", "bold"), text(columns[1], y, "Pin", 16, "start", "bold"),
             text(columns[2], y, "config.ini", 16, "start", "bold")]
    rows = [("common", "4 DTR", ""), ("dit", "6 DSR", "KeyLine DSR"), ("dah", "8 CTS", "DahLine CTS")]
    for index, row in enumerate(rows):
        row_y = y + 40 + index * 34
        parts += [text(column, row_y, cell, 15, "start") for column, cell in zip(columns, row)]
    notes_y = y + 40 + len(rows) * 34 + 4
    lines = [
        "With Keyer iambicA, iambicB, ultimatic or bug in config.ini.",
        "DahLine CTS is the default and may be left out.",
        "Left hand: write KeyLine CTS and DahLine DSR,",
        "or swap the dit and dah wires.",
    ]
    parts += [text(x, notes_y + 21 * i, line, 13, "start", fill="#555") for i, line in enumerate(lines)]
    return parts


def notes():
    lines = [
        "The female 9-pin plug that fits the PC's port (or the USB-serial adapter's), seen from the side you solder:",
        "the same layout as the port itself seen from the front.",
        "Velkin raises DTR and RTS while it runs: never use a port whose DTR or RTS keys a transmitter or its PTT.",
    ]
    return [text(30, HEIGHT - 62 + 22 * i, line, 14, "start") for i, line in enumerate(lines)]


def picture():
    parts = [f'<rect width="{WIDTH}" height="{HEIGHT}" fill="white"/>',
             text(30, 38, "Wiring a straight key to a 9-pin serial port", 20, "start", "bold")]
    parts += connector_shell() + key_and_wires() + connector_pins({4: SUPPLY, 6: SENSE}) + pairs_table()
    parts.append(text(30, 38 + PADDLE_DY, "Wiring the keyer's paddle to a 9-pin serial port", 20, "start", "bold"))
    parts += (connector_shell(PADDLE_DY) + paddle_and_wires(PADDLE_DY)
              + connector_pins({4: SUPPLY, 6: SENSE, 8: DAH}, PADDLE_DY) + paddle_table(PADDLE_DY))
    parts += notes()
    body = "\n  ".join(parts)
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{HEIGHT}" '
            f'viewBox="0 0 {WIDTH} {HEIGHT}" font-family="Arial, Helvetica, sans-serif">\n  {body}\n</svg>\n')


if __name__ == "__main__":
    with open(os.path.join(HERE, "wiring.svg"), "w", encoding="utf-8", newline="\n") as f:
        f.write(picture())
