"""Writes the bzip2 fuzzing seeds: valid, empty, multi-block, concatenated,
truncated and damaged streams, and bzip2's own small sample. Each seed
starts with the two control bytes that fuzz_bzip2 reads first."""
import bz2
import os
import sys


def main():
    out, samples = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    text = b"".join(b"file%05d.dat|%032x|%d\n" % (i, i * 7919, i * 31) for i in range(4000))
    one = bz2.compress(b"Rev|42\n")
    multi = bz2.compress(text, compresslevel=1)
    seeds = {
        "small": one,
        "empty_stream": bz2.compress(b""),
        "empty_source": b"",
        "multi_block": multi,
        "two_streams": one + one,
        "trailing_byte": one + b"\0",
        "truncated": multi[: len(multi) // 2],
        "bad_crc": one[:10] + bytes([one[10] ^ 1]) + one[11:],
    }
    with open(os.path.join(samples, "sample3.bz2"), "rb") as f:
        seeds["sample3"] = f.read()
    for i, (name, body) in enumerate(sorted(seeds.items())):
        with open(os.path.join(out, name + ".bin"), "wb") as f:
            f.write(bytes([i * 37 % 256, i * 53 % 256]) + body)


if __name__ == "__main__":
    main()
