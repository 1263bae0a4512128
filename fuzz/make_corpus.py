#!/usr/bin/env python3
"""Writes the seed corpus (fuzz/corpus/): one scripted session per file, each
reaching a part of the program: every wait, the download, the operator's
controls. The step codes are those of fuzz/runtime.cpp."""
import os

CONNECT, LEAVE_NEWEST, LEAVE_OLDEST, MODEL, TRIGGER = 0x80, 0x81, 0x82, 0x83, 0x84
SPEED, DIRECTION, BATTERY, CLEAR, OPERATOR_TEXT = 0x85, 0x86, 0x87, 0x88, 0x89
JUMP, TEMPO, IDLE, FAULT, CLOSE, REPEAT, PASS = 0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F, 0x90


def line(text):
    return text.encode('latin-1') + str(sum(text.encode('latin-1')) % 256).encode() + b'\n'


def send(data):
    if isinstance(data, str):
        data = data.encode('latin-1')
    out = b''
    while data:
        chunk, data = data[:128], data[128:]
        out += bytes([len(chunk) - 1]) + chunk
    return out


def cmd(text):
    return send(line(text))


def op(*codes):
    return bytes(codes)


SEEDS = {
    'identity': op(CONNECT, MODEL, 2) + b''.join(cmd(t) for t in [
        'WHO_ARE_YOU#', 'SERIAL_NUMBER#', 'CAL_DATE#', 'CAL_LOC#', 'FIRMWARE#', 'HOW_MANY_LEDS#',
        'HOW_MANY_AXES#', 'SAMPLE_RATE#', 'CURRENT_POSITIONS#', 'LED_RIB#3#4#', 'LED_POSN#20#1#',
        'SHOW_LEDRIB#', 'SHOW_LEDPOSN#', 'TRIGGERSET#2#', 'GETTRIGGER#', 'MANARMENABLE#1#', 'SAVE#',
        'SETTIME#5#', 'S#', 'DUMPINFO#', 'TRIGGERCHECK#', 'NOPE#', 'X#1#2#3#4#']) + send('WHO_ARE_YOU#1\n'),
    'erase': op(CONNECT, MODEL, 10, TEMPO, 4) + cmd('ERASE#') + cmd('E#') + cmd('S#') + cmd('Q#')
             + op(TEMPO, 5, IDLE, 40) + cmd('S#') + cmd('DUMPINFO#'),
    'erase_slow_model': op(CONNECT, MODEL, 1) + cmd('ERASE#') + op(IDLE, 40) + cmd('E#') + cmd('S#'),
    'arm_trigger_download': op(CONNECT, MODEL, 10) + cmd('ERASE#') + op(IDLE, 10, TEMPO, 2) + cmd('ARM#0#3#')
             + send('S#118') + op(PASS) + send('T#119') + op(PASS, TEMPO, 3, IDLE, 10) + cmd('DUMPINFO#')
             + cmd('DUMPBIN#-2#3#') + cmd('DUMPBINA#3#3#') + cmd('S#'),
    'arm_limit_and_disarm': op(CONNECT, MODEL, 3) + cmd('ERASE#') + op(IDLE, 40) + cmd('ARM#500#100#')
             + op(IDLE, 5) + cmd('S#') + cmd('ERASE#') + op(IDLE, 40) + cmd('ARM#0#100#') + send('D#103')
             + op(PASS) + cmd('DUMPINFO#') + cmd('ARM#-1#99999#'),
    'arm_operator_trigger': op(CONNECT, MODEL, 10, BATTERY, 1) + cmd('ERASE#') + op(IDLE, 10, TEMPO, 1)
             + cmd('ARM#0#2#') + op(PASS, TRIGGER, IDLE, 30, TEMPO, 5) + cmd('DUMPINFO#') + cmd('DUMPBINXA#0#2#') + cmd('S#'),
    'comment': op(CONNECT, MODEL, 4) + cmd('SETTESTCOMMENT#') + op(PASS) + send('crash test 42\r\n')
             + cmd('GETTESTCOMMENT#') + cmd('SETTESTCOMMENT#') + send('x' * 120) + send('tail\n')
             + cmd('GETTESTCOMMENT#'),
    'download': op(CONNECT, MODEL, 2) + cmd('DUMPBINA#-1#1#') + op(SPEED) + cmd('DUMPBIN#-1#1#')
             + cmd('DUMPBINX#0#0#') + cmd('DUMPBIN#2#1#') + cmd('DUMPBIN#-500#1500#') + op(CONNECT)
             + cmd('DUMPBINA#-200#1500#'),
    'battery_model': op(CONNECT, MODEL, 10, BATTERY, 2) + cmd('GETBATINFO#') + cmd('BATTSETFULL#')
             + cmd('GETBATINFO#') + cmd('SENDCONFIG#') + op(DIRECTION) + cmd('DIRECTION#') + op(MODEL, 2)
             + cmd('DIRECTION#') + cmd('GETBATINFO#'),
    'operator_panel': op(CONNECT, MODEL, 7, CLEAR, OPERATOR_TEXT, 3) + b'S#1' + b'#20' + b'2\r\n'
             + op(OPERATOR_TEXT, 200) + b'y' * 600 + cmd('WHO_ARE_YOU#') + op(CLOSE),
    'hostile_bytes': op(CONNECT) + send(bytes(range(256))) + op(REPEAT, 80, ord('A')) + send('\n')
             + send(b'\0\0WHO\0#1\n') + op(MODEL, 5) + cmd('WHO_ARE_YOU#') + op(REPEAT, 120, 0xFF)
             + cmd('WHO_ARE_YOU#') + send('\n') + cmd('WHO_ARE_YOU#'),
    'leaving_clients': op(CONNECT, MODEL, 6, CONNECT) + cmd('WHO_ARE_YOU#') + cmd('ERASE#') + op(LEAVE_OLDEST)
             + op(IDLE, 5, CONNECT) + cmd('S#') + cmd('SETTESTCOMMENT#') + op(LEAVE_NEWEST, PASS, CONNECT)
             + send('late comment\n') + cmd('GETTESTCOMMENT#') + cmd('DUMPBIN#-500#1500#') + op(LEAVE_NEWEST),
    'nested_choices': op(CONNECT, MODEL, 2) + cmd('ERASE#') + op(MODEL, 9) + cmd('WHO_ARE_YOU#')
             + cmd('ERASE#') + op(MODEL, 0, IDLE, 60, MODEL, 8) + cmd('WHO_ARE_YOU#') + cmd('SETTESTCOMMENT#')
             + op(MODEL, 3) + send('abc\n') + op(IDLE, 3),
    'faults': op(FAULT, 0, CONNECT, LEAVE_NEWEST, PASS, FAULT, 1, CONNECT, FAULT, 3, CONNECT, MODEL, 2, FAULT, 4)
             + cmd('WHO_ARE_YOU#') + op(LEAVE_NEWEST, PASS, FAULT, 4) + cmd('WHO_ARE_YOU#') + op(FAULT, 5) + cmd('S#')
             + cmd('S#') + op(LEAVE_NEWEST, PASS, FAULT, 2, CONNECT) + cmd('S#'),
    'dropped_line_then_newcomer': op(CONNECT, MODEL, 2, REPEAT, 160, ord('z'), LEAVE_NEWEST, PASS, CONNECT)
             + cmd('WHO_ARE_YOU#') + op(REPEAT, 160, ord('q'), PASS, CONNECT, LEAVE_OLDEST, PASS, CONNECT)
             + send('\n') + cmd('S#'),
    'time_jumps': op(CONNECT, MODEL, 10) + cmd('ERASE#') + op(JUMP, 15, JUMP, 15, IDLE, 3, TEMPO, 0)
             + cmd('ARM#1#180000#') + op(JUMP, 8, JUMP, 8, TEMPO, 7, IDLE, 5) + cmd('DUMPINFO#'),
}

if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, 'corpus')
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), 'wb') as f:
            f.write(data)
    print(f'{len(SEEDS)} seeds in {out}')
