#!/usr/bin/env python3
"""Writes the seed inputs of the WAV fuzz target into fuzz/corpus/seeds.

Valid files of every shape the header check accepts, the malformed ones a parser must
survive, and sparse files described in the target's "HOLE" form. Deterministic: running it again gives the same bytes.
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "seeds")


def chunk(cid, body, size=None):
    return cid + struct.pack("<I", len(body) if size is None else size) + body


def fmt(tag=1, channels=2, rate=44100, bits=16, size=16, extra=b""):
    align = channels * bits // 8
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits)
    body = (body + extra + b"\0" * 64)[:size] if size >= 16 else body
    return b"fmt " + struct.pack("<I", size) + body


def samples(values):
    return b"".join(struct.pack("<h", v) for v in values)


def sine(frames, amplitude, freq=441.0):
    out = []
    for i in range(frames):
        v = int(round(amplitude * math.sin(2 * math.pi * freq * i / 44100.0)))
        out += [v, -v // 2]
    return samples(out)


def extensible(channels=2, rate=44100, bits=16, valid=16, mask=3, sub=1, extra=b""):
    """An extensible format chunk: the PCM (1) or float (3) sub-format by default GUID family."""
    align = channels * bits // 8
    body = struct.pack("<HHIIHHHHI", 0xFFFE, channels, rate, rate * align, align, bits, 22,
                       valid, mask)
    body += struct.pack("<I", sub) + bytes.fromhex("000010008000 00aa00389b71".replace(" ", ""))
    return chunk(b"fmt ", body + extra)


def rf64(form, *chunks, data_size=0, samples=0):
    """An RF64 or BW64 file: a ds64 chunk first, with the data size it is given."""
    body = b"WAVE" + chunk(b"ds64", struct.pack("<QQQI", 0, data_size, samples, 0)) + \
        b"".join(chunks)
    return form + struct.pack("<I", 0xFFFFFFFF) + body


def wav(*chunks, riff_size=None):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body) if riff_size is None else riff_size) + body


def seeds():
    ten = samples([0, 1, -1, 32767, -32768, -32767, 1000, -1000, 12, 34,
                   5, 6, 7, 8, 9, 10, 11, 12, 13, 14])
    yield "valid_canonical_10_frames", wav(fmt(), chunk(b"data", ten))
    yield "valid_two_blocks_5001_frames", wav(fmt(), chunk(b"data", sine(5001, 12000)))
    yield "valid_list_fmt18_fact", wav(chunk(b"LIST", b"INFOISFT" + b"x" * 18), fmt(size=18),
                                       chunk(b"fact", struct.pack("<I", 10)),
                                       chunk(b"data", ten))
    yield "valid_tail_3_bytes", wav(fmt(), chunk(b"data", ten + b"\x11\x22\x33"))
    yield "valid_tail_1_byte", wav(fmt(), chunk(b"data", ten[:8] + b"\x7f"))
    yield "valid_no_frames", wav(fmt(), chunk(b"data", b""))
    yield "valid_no_frames_tail_2", wav(fmt(), chunk(b"data", b"\x01\x02"))
    yield "valid_silent", wav(fmt(), chunk(b"data", b"\0" * 400))
    yield "valid_chunk_after_data", wav(fmt(), chunk(b"data", ten), chunk(b"LIST", b"abcd"))
    yield "valid_two_data_chunks", wav(fmt(), chunk(b"data", ten[:8]), chunk(b"data", ten))
    yield "valid_odd_chunk_no_pad", wav(chunk(b"junk", b"abc"), fmt(), chunk(b"data", ten))
    yield "valid_riff_size_wrong", wav(fmt(), chunk(b"data", ten), riff_size=0xFFFFFFFF)
    yield "data_size_past_end", wav(fmt(), chunk(b"data", ten, size=4000))
    yield "data_size_past_end_odd", wav(fmt(), chunk(b"data", ten, size=20001))
    yield "data_size_ffffffff", wav(fmt(), chunk(b"data", ten, size=0xFFFFFFFF))
    yield "data_size_fffffffc", wav(fmt(), chunk(b"data", ten, size=0xFFFFFFFC))
    yield "chunk_size_ffffffff_before_fmt", wav(chunk(b"LIST", b"abcd", size=0xFFFFFFFF),
                                                fmt(), chunk(b"data", ten))
    yield "chunk_size_past_end_before_data", wav(fmt(), chunk(b"LIST", b"abcd", size=100),
                                                 chunk(b"data", ten))
    yield "chunk_size_fffffff8_before_data", wav(fmt(), chunk(b"LIST", b"", size=0xFFFFFFF8),
                                                 chunk(b"data", ten))
    yield "fmt_size_ffffffff", wav(fmt(size=16)[:4] + struct.pack("<I", 0xFFFFFFFF) +
                                   fmt()[8:], chunk(b"data", ten))
    yield "fmt_shorter_than_16", wav(fmt()[:4] + struct.pack("<I", 14) + fmt()[8:],
                                     chunk(b"data", ten))
    yield "fmt_size_0", wav(fmt()[:4] + struct.pack("<I", 0) + fmt()[8:], chunk(b"data", ten))
    yield "fmt_cut_inside_fields", wav(fmt()[:14])
    yield "mono", wav(fmt(channels=1), chunk(b"data", ten))
    yield "rate_48000", wav(fmt(rate=48000), chunk(b"data", ten))
    yield "bits_24", wav(fmt(bits=24), chunk(b"data", ten[:18]))
    yield "float_tag_3", wav(fmt(tag=3, bits=32), chunk(b"data", ten))
    yield "extensible_tag_fffe", wav(fmt(tag=0xFFFE, size=40), chunk(b"data", ten))
    # Every sample format the header check describes; only extensible 16-bit stereo is taken.
    yield "valid_extensible_16_stereo", wav(extensible(), chunk(b"data", ten))
    yield "valid_extensible_16_no_mask", wav(extensible(valid=0, mask=0), chunk(b"data", ten))
    yield "extensible_20_in_24", wav(extensible(bits=24, valid=20), chunk(b"data", ten[:18]))
    yield "extensible_float_6ch", wav(extensible(channels=6, rate=48000, bits=32, valid=32,
                                                 sub=3, extra=b"\x09\x09"),
                                      chunk(b"data", ten[:48]))
    yield "extensible_adpcm", wav(extensible(bits=4, valid=4, sub=2), chunk(b"data", ten))
    yield "pcm8_mono", wav(fmt(channels=1, rate=22050, bits=8), chunk(b"data", ten))
    yield "pcm32_20ch", wav(fmt(channels=20, rate=96000, bits=32), chunk(b"data", ten * 8))
    yield "float64_stereo", wav(fmt(tag=3, bits=64), chunk(b"data", struct.pack(
        "<8d", 0.0, 1.0, -1.0, 0.5, 1.5, float("inf"), float("nan"), -0.25)))
    yield "float32_stereo", wav(fmt(tag=3, bits=32), chunk(b"data", struct.pack(
        "<8f", 0.0, 1.0, -1.0, 0.5, 1.5, float("inf"), float("nan"), -0.25)))
    yield "block_align_wrong_24", wav(fmt(bits=24)[:20] + struct.pack("<H", 4) + fmt(bits=24)[22:],
                                      chunk(b"data", ten[:18]))
    yield "rf64_16_stereo", rf64(b"RF64", fmt(), chunk(b"data", ten, size=0xFFFFFFFF),
                                 data_size=len(ten), samples=5)
    yield "rf64_data_past_end", rf64(b"RF64", fmt(bits=24), chunk(b"data", ten, size=0xFFFFFFFF),
                                     data_size=6 << 30)
    yield "bw64_extensible_24", rf64(b"BW64", extensible(channels=6, bits=24, valid=24),
                                     chunk(b"data", ten[:18], size=0xFFFFFFFF), data_size=18)
    yield "rf64_no_ds64", b"RF64" + wav(fmt(), chunk(b"data", ten))[4:]
    yield "adpcm_tag_2", wav(fmt(tag=2, bits=4), chunk(b"data", ten))
    yield "flac", b"fLaC\0\0\0\x22" + b"\0" * 34
    yield "mp3_id3", b"ID3\x04\0\0\0\0\0\x05abcde\xff\xfb\x90\x64" + b"\0" * 40
    yield "ogg", b"OggS\0\x02" + b"\0" * 22 + b"OpusHead" + b"\0" * 11
    yield "aiff", b"FORM\0\0\0\x40AIFFCOMM" + b"\0" * 48
    yield "data_before_fmt", wav(chunk(b"data", ten), fmt())
    yield "no_data_chunk", wav(fmt(), chunk(b"LIST", b"abcd"))
    yield "no_fmt_chunk", wav(chunk(b"data", ten))
    yield "rifx", b"RIFX" + wav(fmt(), chunk(b"data", ten))[4:]
    yield "lower_case_riff", b"riff" + wav(fmt(), chunk(b"data", ten))[4:]
    yield "not_wave", wav(fmt(), chunk(b"data", ten))[:8] + b"AVI " + \
        wav(fmt(), chunk(b"data", ten))[12:]
    yield "upper_case_fmt", wav(b"FMT " + fmt()[4:], chunk(b"data", ten))
    yield "empty", b""
    yield "riff_only", b"RIF"
    canonical = wav(fmt(), chunk(b"data", ten))
    for cut in (4, 8, 11, 12, 15, 16, 19, 20, 30, 35, 36, 39, 40, 43, 44, 45, 47):
        yield "truncated_at_%d" % cut, canonical[:cut]
    # Sparse files: a gap of zeros, millions of empty chunks, at the given offset.
    mib16 = 16 << 20
    yield "hole_16mib_before_fmt", hole(mib16, 12, canonical)
    yield "hole_16mib_after_wave_only", hole(mib16, 12, canonical[:12])
    yield "hole_off_grid_before_data", hole(mib16 + 3, 36, canonical)
    yield "hole_inside_data", hole(4096, 50, canonical)


def hole(length, at, rest):
    """An input of the fuzz target's sparse form: rest with length zeros put in at offset at."""
    return b"HOLE" + struct.pack("<IH", length, at) + rest


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(OUT, name + ".wav"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
