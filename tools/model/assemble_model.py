#!/usr/bin/python3
"""Reassembles the IS-Net general-use network from the chunk files of the unpacked npm package
@imgly/background-removal-data and checks it against the recorded size and SHA-256.

usage: assemble_model.py PACKAGE_DIR OUTPUT EXPECTED_SIZE EXPECTED_SHA256
"""
import hashlib
import json
import os
import sys

RESOURCE = "/models/medium"


def fail(message):
    print(f"setup: {message}", file=sys.stderr)
    sys.exit(1)


def main():
    if len(sys.argv) != 5:
        fail(__doc__.strip().splitlines()[-1])
    package_dir, output, expected_size, expected_sha = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    dist = os.path.join(package_dir, "dist")
    try:
        with open(os.path.join(dist, "resources.json"), encoding="utf-8") as f:
            entry = json.load(f)[RESOURCE]
    except (OSError, ValueError, KeyError) as error:
        fail(f"cannot read {RESOURCE} from dist/resources.json: {error}")

    if entry.get("size") != expected_size:
        fail(f"dist/resources.json gives {entry.get('size')} bytes for {RESOURCE}, expected {expected_size}")

    whole = hashlib.sha256()
    written = 0
    with open(output, "wb") as out:
        for chunk in entry["chunks"]:
            start, end = chunk["offsets"]
            if start != written:
                fail(f"chunk {chunk['hash']} starts at {start}, expected {written}")
            with open(os.path.join(dist, chunk["hash"]), "rb") as f:
                data = f.read()
            # Chunks are named by the SHA-256 of their content: a mismatch is a damaged download.
            if len(data) != end - start or hashlib.sha256(data).hexdigest() != chunk["hash"]:
                fail(f"chunk {chunk['hash']} is damaged")
            out.write(data)
            whole.update(data)
            written += len(data)

    if written != expected_size:
        fail(f"reassembled model has {written} bytes, expected {expected_size}")
    if whole.hexdigest() != expected_sha:
        fail(f"reassembled model has SHA-256 {whole.hexdigest()}, expected {expected_sha}")


if __name__ == "__main__":
    main()
