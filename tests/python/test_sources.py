"""vantrel.analyze() of a video given as bytes or as a file object: the results of its path, and
errors that say what went wrong with the object."""
import array
import gc
import importlib.util
import io
import os
import random
import re
import resource
import socket
import subprocess
import sys
import textwrap
import threading

import pytest

import vantrel
from conftest import X264, cuts, lavfi
from vantrel.methods import FAMILY


METHODS = [m.name for m in FAMILY if all(importlib.util.find_spec(name) for name in m.needs)]


@pytest.fixture(scope="module")
def clip(videos):
    """Hard cuts and a fade, in a container that can be read in order (MP4 with its index first)."""
    return cuts(videos, "src-cuts.mp4", [*X264, "-movflags", "+faststart"],
                sources=("testsrc", "mandelbrot", "smptebars"), seconds=1.0)


@pytest.fixture(scope="module")
def index_at_end(videos):
    """More data before the index than the 1 MiB read buffer holds: reading it in order is impossible."""
    return videos("src-index-at-end.mp4", [*lavfi("testsrc2", 3, size="960x540"), *X264, "-preset", "ultrafast",
                                           "-qp", "0"])


class Unseekable(io.RawIOBase):
    """A stream over bytes that says it cannot seek, as a network stream does."""

    def __init__(self, data: bytes):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self._data.readinto(buffer)


class ReadOnly:
    """Only `read`: no readinto, seek, tell or seekable."""

    def __init__(self, data: bytes):
        self._data = io.BytesIO(data)

    def read(self, size=-1):
        return self._data.read(size)


class Failing(io.BytesIO):
    """Raises from `method` once `after` bytes are read; reads 16 KiB at most at a time."""

    def __init__(self, data: bytes, method: str, after: int, error: BaseException):
        super().__init__(data)
        self.method, self.after, self.error, self.calls_after = method, after, error, 0

    def _check(self, method):
        if self.tell() >= self.after:
            if method == self.method:
                self.calls_after += 1
                raise self.error

    def readinto(self, buffer):
        self._check("read")
        with memoryview(buffer)[:16384] as piece:
            return super().readinto(piece)

    def seek(self, offset, whence=0):
        self._check("seek")
        return super().seek(offset, whence)


def piped(data: bytes):
    """A pipe's read end as a file object, fed by a thread."""
    read_end, write_end = os.pipe()

    def feed():
        with os.fdopen(write_end, "wb") as out:
            try:
                out.write(data)
            except BrokenPipeError:
                pass

    threading.Thread(target=feed, daemon=True).start()
    return os.fdopen(read_end, "rb")


# How a video's bytes can be given: each returns the object to analyse.
SOURCES = {
    "file object": lambda path, data: path.open("rb"),
    "BytesIO": lambda path, data: io.BytesIO(data),
    "bytes": lambda path, data: data,
    "bytearray": lambda path, data: bytearray(data),
    "memoryview of bytes": lambda path, data: memoryview(data),
    "memoryview of a slice": lambda path, data: memoryview(b"--" + data)[2:],
    "array": lambda path, data: array.array("B", data),
    "strided memoryview": lambda path, data: memoryview(bytes(b for pair in zip(data, data) for b in pair))[::2],
    "read only": lambda path, data: ReadOnly(data),
    "unseekable": lambda path, data: Unseekable(data),
    "pipe": lambda path, data: piped(data),
}


def same_results(got: vantrel.Analysis, expected: vantrel.Analysis):
    for field in ("keyframes", "pass_text", "times", "fps", "duration", "scenes", "scores", "decode_errors", "method",
                  "transitions"):
        assert getattr(got, field) == getattr(expected, field), field


class TestSameResultsAsThePath:
    @pytest.mark.parametrize("method", METHODS)
    @pytest.mark.parametrize("threads", [1, 0])
    def test_every_source(self, clip, method, threads):
        expected = vantrel.analyze(clip, method=method, threads=threads, scores=True)
        assert len(expected.keyframes) >= 3
        data = clip.read_bytes()
        for name, make in SOURCES.items():
            source = make(clip, data)
            same_results(vantrel.analyze(source, method=method, threads=threads, scores=True), expected)
            if hasattr(source, "closed"):
                assert not source.closed, name  # left open for its owner
                source.close()

    def test_a_seekable_object_is_read_from_its_start(self, clip):
        expected = vantrel.analyze(clip)
        with clip.open("rb") as file:
            file.seek(1000)
            same_results(vantrel.analyze(file), expected)

    def test_progress_and_damaged_packets(self, clean_and_damaged):
        _, damaged = clean_and_damaged
        reports = []
        expected = vantrel.analyze(damaged, on_decode_error="skip")
        assert expected.decode_errors
        got = vantrel.analyze(Unseekable(damaged.read_bytes()), on_decode_error="skip", progress=reports.append)
        same_results(got, expected)
        assert reports[-1].frames == expected.frame_count
        with pytest.raises(vantrel.AnalysisError, match="^decode error: failed to send packet") as info:
            vantrel.analyze(damaged.read_bytes())
        assert info.value.__cause__ is None

    def test_truncated_and_damaged_content_ends_as_its_file_does(self, clip, tmp_path):
        data = clip.read_bytes()
        noise = random.Random(3)
        variants = {f"cut{n}": data[:len(data) * n // 10] for n in range(1, 10)}
        for seed in range(3):
            damaged = bytearray(data)
            for _ in range(20):
                damaged[noise.randrange(len(data) // 10, len(data))] = noise.randrange(256)
            variants[f"noise{seed}"] = bytes(damaged)

        def outcome(source, name):
            try:
                return vantrel.analyze(source, on_decode_error="skip").pass_text
            except vantrel.AnalysisError as e:
                return e.category, str(e).replace(name, "INPUT")

        for label, content in variants.items():
            path = tmp_path / f"{label}.mp4"
            path.write_bytes(content)
            expected = outcome(path, str(path))
            assert outcome(content, f"<{len(content)} bytes in memory>") == expected, label
            assert outcome(io.BytesIO(content), "<BytesIO>") == expected, label

    def test_a_bytearray_keeps_its_size_while_analysed(self, clip):
        data = bytearray(clip.read_bytes())
        seen = []

        def resize(progress):
            try:
                data.extend(b"more")
            except BufferError as e:
                seen.append(str(e))

        vantrel.analyze(data, progress=resize)
        assert seen
        data.extend(b"more")  # free again afterwards


class TestErrors:
    @pytest.mark.parametrize("method, after", [("read", 0), ("read", 0.5), ("seek", 0)])
    def test_an_exception_of_the_object_is_the_cause(self, clip, method, after):
        data = clip.read_bytes()
        error = OSError(5, "the disk went away")
        source = Failing(data, method, int(len(data) * after), error)
        with pytest.raises(vantrel.AnalysisError) as info:
            vantrel.analyze(source)
        assert info.value.category == "io"
        assert info.value.__cause__ is error
        stage = "open" if after == 0 else "read"
        assert str(info.value).startswith(f"input/output error: failed to {stage} input: <Failing>: ")
        assert str(info.value).endswith(f"{method if method == 'seek' else 'readinto'}() raised OSError: "
                                        "[Errno 5] the disk went away")
        assert source.calls_after == 1  # not asked again once it failed

    def test_ctrl_c_raised_by_a_read_is_not_wrapped(self, clip):
        with pytest.raises(KeyboardInterrupt):
            data = clip.read_bytes()
            vantrel.analyze(Failing(data, "read", len(data) // 2, KeyboardInterrupt()))

    def test_an_unseekable_mp4_with_its_index_at_the_end_says_what_to_do(self, index_at_end):
        with pytest.raises(vantrel.AnalysisError) as info:
            vantrel.analyze(Unseekable(index_at_end.read_bytes()))
        assert info.value.category in ("io", "decode")
        assert str(info.value).endswith(
            "the input was a file object that cannot seek, which cannot seek back, and a file with its index at "
            "the end (an MP4 written without -movflags +faststart) needs to: write it to a file first, or remux it "
            "with the index at the front (ffmpeg -i IN -c copy -movflags +faststart OUT)")
        assert vantrel.analyze(io.BytesIO(index_at_end.read_bytes())) == vantrel.analyze(index_at_end)

    def test_objects_that_are_not_binary_sources(self, clip, tmp_path):
        closed = clip.open("rb")
        closed.close()
        cases = [
            (clip.open("r"), "cannot analyze a file opened in text mode (TextIOWrapper): open it in binary mode"),
            (io.StringIO("not a video"), "cannot analyze a file opened in text mode (StringIO)"),
            (closed, "cannot analyze a closed file (BufferedReader)"),
            (42, "cannot analyze a int: expected a path (str or os.PathLike), the video's bytes"),
            (object(), "cannot analyze a object: expected"),
            ([b"video"], "cannot analyze a list: expected"),
        ]
        for source, message in cases:
            with pytest.raises(TypeError) as info:
                vantrel.analyze(source)
            assert str(info.value).startswith(message), source
            assert "binary file object (with read" in str(info.value)
        cases[0][0].close()

    def test_what_read_returns_must_be_bytes(self, clip):
        class Texty:
            def read(self, size):
                return "text"

        class NonBlocking:
            def read(self, size):
                return None

        class Overrun:
            def readinto(self, buffer):
                return len(buffer) + 1

            def read(self, size):
                raise AssertionError("readinto is preferred")

        class Wordy:
            def readinto(self, buffer):
                return "many"

            read = Overrun.read

        for source, message in [(Texty(), r"read\(\) returned str, not bytes: open the file in binary mode \('rb'\)"),
                                (NonBlocking(), r"read\(\) returned None: the object is non-blocking"),
                                (Overrun(), r"readinto\(\) returned \d+ for a buffer of \d+ bytes"),
                                (Wordy(), r"readinto\(\) returned no count: TypeError: ")]:
            with pytest.raises(vantrel.AnalysisError) as info:
                vantrel.analyze(source)
            assert info.value.category == "io"
            assert re.search(message, str(info.value)), str(info.value)

    def test_content_that_is_not_a_video(self, videos):
        audio = videos("src-audio.m4a", ["-f", "lavfi", "-t", "1", "-i", "sine", "-c:a", "aac"])
        for source, category, message in [
            (b"", "io", "input/output error: failed to open input: <0 bytes in memory>: "),
            (os.urandom(5000), "io", "input/output error: failed to open input: <5000 bytes in memory>: "),
            (audio.read_bytes(), "unsupported", "unsupported operation: no video stream found"),
        ]:
            with pytest.raises(vantrel.AnalysisError) as info:
                vantrel.analyze(source)
            assert (info.value.category, str(info.value)[:len(message)]) == (category, message)

    def test_bytes_are_content_not_a_path(self, clip):
        with pytest.raises(vantrel.AnalysisError, match="failed to open input: <"):
            vantrel.analyze(os.fsencode(clip))

    def test_a_thousand_failures_leak_nothing(self, clip):
        data = clip.read_bytes()[:20_000]

        def fail_many(count):
            for _ in range(count):
                with pytest.raises(vantrel.AnalysisError):
                    vantrel.analyze(Failing(data, "read", 10_000, OSError("gone")))
                with pytest.raises(vantrel.AnalysisError):
                    vantrel.analyze(data[:5000])

        def open_fds():
            return len(os.listdir("/proc/self/fd"))

        fail_many(100)  # allocator pools and caches settle
        gc.collect()
        fds, rss = open_fds(), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        fail_many(1000)
        gc.collect()
        assert open_fds() == fds
        # Each analysis holds a 1 MiB read buffer: a leak of it would be a gigabyte.
        assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss < 64 * 1024  # KiB


def test_ctrl_c_during_a_read_that_blocks():
    # A socket whose other end sends nothing: the read waits until Ctrl-C.
    code = textwrap.dedent("""
        import os, signal, socket, threading, vantrel
        ours, theirs = socket.socketpair()
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            vantrel.analyze(ours.makefile("rb"))
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        print("threads", len(threading.enumerate()), flush=True)
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stdout.split() == ["interrupted", "threads", "1"], run.stderr


def test_a_socket_stream(clip):
    expected = vantrel.analyze(clip)
    ours, theirs = socket.socketpair()
    data = clip.read_bytes()

    def send():
        with theirs:
            theirs.sendall(data)

    threading.Thread(target=send, daemon=True).start()
    with ours, ours.makefile("rb") as stream:
        same_results(vantrel.analyze(stream), expected)


@pytest.fixture(scope="module")
def http_server(clip, web):
    """The clip on the web server of the session, as /clip.mp4; its base URL."""
    pytest.importorskip("fsspec")
    root, url = web
    (root / "clip.mp4").write_bytes(clip.read_bytes())
    return url


@pytest.fixture(scope="module")
def s3_bucket(clip, s3_options):
    """The clip on the S3 server of the session, as s3://videos/clip.mp4; the storage options."""
    fs = pytest.importorskip("fsspec").filesystem("s3", **s3_options)
    if not fs.exists("videos"):
        fs.mkdir("videos")
    fs.put_file(str(clip), "videos/clip.mp4")
    return s3_options


class TestRemote:
    def test_an_s3_object_gives_the_results_of_its_file(self, clip, s3_bucket):
        expected = vantrel.analyze(clip, scores=True)
        same_results(vantrel.analyze("s3://videos/clip.mp4", storage_options=s3_bucket, scores=True), expected)

    def test_an_http_url_is_read_in_ranges(self, clip, http_server):
        from servers import served_ranges
        served_ranges.clear()
        same_results(vantrel.analyze(f"{http_server}/clip.mp4"), vantrel.analyze(clip))
        assert served_ranges  # read as a seekable file, not fetched whole by FFmpeg

    def test_an_fsspec_file_object(self, clip):
        fsspec = pytest.importorskip("fsspec")
        fs = fsspec.filesystem("memory")
        fs.pipe("/videos/clip.mp4", clip.read_bytes())
        expected = vantrel.analyze(clip)
        with fs.open("/videos/clip.mp4", "rb") as file:
            same_results(vantrel.analyze(file), expected)
        same_results(vantrel.analyze("memory://videos/clip.mp4"), expected)

    def test_what_cannot_be_opened_says_why(self, s3_bucket, http_server):
        for url, options, cause in [("s3://videos/missing.mp4", s3_bucket, FileNotFoundError),
                                    ("s3://no-such-bucket/clip.mp4", s3_bucket, FileNotFoundError),
                                    (f"{http_server}/missing.mp4", None, FileNotFoundError)]:
            with pytest.raises(vantrel.AnalysisError) as info:
                vantrel.analyze(url, storage_options=options)
            assert info.value.category == "io"
            assert str(info.value).startswith(f"input/output error: failed to open input: {url}: "), url
            assert isinstance(info.value.__cause__, cause), (url, info.value.__cause__)

    def test_a_file_system_whose_package_is_missing_is_named(self):
        pytest.importorskip("fsspec")
        try:
            import gcsfs  # noqa: F401
            pytest.skip("gcsfs is installed")
        except ImportError:
            pass
        with pytest.raises(ImportError, match="reading gs:// URLs needs fsspec's package for it: .*gcsfs"):
            vantrel.analyze("gs://bucket/clip.mp4")

    def test_storage_options_belong_to_urls(self, clip):
        with pytest.raises(ValueError, match="storage_options apply to URLs that fsspec opens"):
            vantrel.analyze(clip, storage_options={"anon": True})
