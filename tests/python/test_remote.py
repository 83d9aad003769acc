"""Videos behind URLs: an S3-compatible server and a web server on 127.0.0.1, read through fsspec by
`analyze()`, the command and Ray Data, against the same files read locally."""
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import lavfi

vantrel = pytest.importorskip("vantrel")
fsspec = pytest.importorskip("fsspec")
from vantrel import remote  # noqa: E402
from vantrel.cli.options import storage_option  # noqa: E402

BUCKET = "videos"
# Every field of an analysis that depends on the video alone (messages may name the input).
FIELDS = ("keyframes", "pass_text", "frame_count", "times", "fps", "duration", "scenes", "scores", "decode_errors",
          "method", "transitions")


def same_analysis(a, b):
    return {f: getattr(a, f) for f in FIELDS} == {f: getattr(b, f) for f in FIELDS}


@pytest.fixture(scope="module")
def clip(videos):
    """A cut, then a dissolve: scenes for every method."""
    return videos("remote.mkv", [*lavfi("testsrc", 2), *lavfi("smptebars", 2), *lavfi("mandelbrot", 2),
                                 "-filter_complex",
                                 "[0][1]concat,settb=1/25[a];[2]settb=1/25[b];[a][b]xfade=transition=dissolve:duration=1:offset=3[v]",
                                 "-map", "[v]", "-c:v", "libx264", "-pix_fmt", "yuv420p"])


@pytest.fixture(scope="module")
def tail_index(videos):
    """An MP4 with its index at the end: the reader seeks to the end and back."""
    return videos("remote-tail.mp4", [*lavfi("testsrc2", 3), "-c:v", "libx264", "-pix_fmt", "yuv420p"])


@pytest.fixture(scope="module")
def s3(s3_options, clip, tail_index):
    """The S3 filesystem with the clips uploaded; three batch clips, two sharing a stem."""
    fs = fsspec.filesystem("s3", **s3_options)
    if not fs.exists(BUCKET):
        fs.mkdir(BUCKET)
    fs.put_file(str(clip), f"{BUCKET}/remote.mkv")
    fs.put_file(str(tail_index), f"{BUCKET}/remote-tail.mp4")
    for key in ("batch/a/clip.mkv", "batch/b/clip.mkv", "batch/other.mkv"):
        fs.put_file(str(clip), f"{BUCKET}/{key}")
    fs.pipe_file(f"{BUCKET}/batch/notes.txt", b"not a video")
    return fs


@pytest.fixture(scope="module")
def served(web, clip, tail_index):
    root, url = web
    for path in (clip, tail_index):
        (root / path.name).write_bytes(path.read_bytes())
    return url


def cli_options(options):
    """The command's --storage-option arguments of the S3 server's options."""
    return ["--storage-option", f"key={options['key']}", "--storage-option", f"secret={options['secret']}",
            "--storage-option", f"endpoint_url={options['client_kwargs']['endpoint_url']}"]


def vantrel_cmd(*args, env=None, timeout=180):
    return subprocess.run([sys.executable, "-m", "vantrel", *map(str, args)], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=timeout, env=env)


@pytest.mark.parametrize("text, url", [
    ("s3://bucket/film.mp4", True), ("gs://b/x.mkv", True), ("https://host/v.mp4?sig=a", True),
    ("simplecache::s3://b/x.mp4", True), ("file:///tmp/x.mp4", False), ("FILE:///tmp/x.mp4", False),
    ("/tmp/x.mp4", False), ("C://x.mp4", False), ("clip:1.mp4", False), ("a b://x", False), (b"s3://b/x", False),
])
def test_what_is_a_url(text, url):
    assert remote.is_url(text) is url


@pytest.mark.parametrize("url, fsspec_reads", [
    ("s3://b/x.mp4", True), ("https://h/v.mp4", True), ("simplecache::s3://b/x.mp4", True),
    ("rtsp://camera/live", False), ("srt://127.0.0.1:9000", False), ("file:///tmp/x.mp4", False), ("x.mp4", False),
])
def test_which_urls_fsspec_reads(url, fsspec_reads):
    """Live streams stay FFmpeg's, as they were before fsspec."""
    assert remote.through_fsspec(url) is fsspec_reads


@pytest.mark.parametrize("url, stem", [
    ("s3://bucket/videos/film.mp4", "film"), ("https://host/a/b%20c.mkv?sig=1#t", "b c"),
    ("simplecache::s3://b/x.tar.mp4", "x.tar"), ("gs://bucket/noext", "noext"),
])
def test_url_stems(url, stem):
    assert remote.url_stem(url) == stem


def test_file_urls_are_local_paths(clip):
    assert remote.local_path("file:///tmp/a%20b.mp4") == "/tmp/a b.mp4"
    assert remote.local_path("file://localhost/tmp/x.mp4") == "/tmp/x.mp4"
    with pytest.raises(ValueError, match="on this machine, not on server"):
        remote.local_path("file://server/x.mp4")
    assert same_analysis(vantrel.analyze(clip.as_uri()), vantrel.analyze(clip))


@pytest.mark.parametrize("text, pair", [
    ("endpoint_url=http://127.0.0.1:9000", ("endpoint_url", "http://127.0.0.1:9000")),
    ("anon=true", ("anon", True)), ("default_block_size=5", ("default_block_size", 5)),
    ('client_kwargs={"region_name": "eu-west-1"}', ("client_kwargs", {"region_name": "eu-west-1"})),
    ("token=a=b", ("token", "a=b")),
])
def test_storage_option_values(text, pair):
    assert storage_option(text) == pair


@pytest.mark.parametrize("method, threads", [("refined", 1), ("refined", 0), ("gradual", 1), ("gradual", 0),
                                             ("learned", 1)])
def test_s3_and_web_equal_the_local_file(s3, s3_options, served, clip, tail_index, method, threads):
    if method == "learned":
        pytest.importorskip("onnxruntime")
        pytest.importorskip("vantrel_learned_model")
    options = dict(method=method, threads=threads, scores=True)
    for video in (clip, tail_index):
        local = vantrel.analyze(video, **options)
        assert same_analysis(vantrel.analyze(f"s3://{BUCKET}/{video.name}", storage_options=s3_options, **options),
                             local)
        assert same_analysis(vantrel.analyze(f"{served}/{video.name}", **options), local)
        assert len(local.keyframes) > 1 or video == tail_index


def test_missing_objects_say_what_is_missing(s3, s3_options, served):
    cases = [(f"s3://{BUCKET}/none.mp4", s3_options, "No such file"),
             ("s3://no-such-bucket/film.mp4", s3_options, "bucket does not exist"),
             (f"{served}/none.mp4", None, "No such file")]
    for url, options, said in cases:
        with pytest.raises(vantrel.AnalysisError) as failed:
            vantrel.analyze(url, storage_options=options)
        assert failed.value.category == "io"
        assert url in str(failed.value) and said in str(failed.value)
        assert failed.value.__cause__ is not None


def test_bad_storage_options_are_refused(clip, s3, s3_options):
    with pytest.raises(ValueError, match="storage_options apply to URLs"):
        vantrel.analyze(clip, storage_options={"anon": True})
    with pytest.raises(TypeError, match="storage_options must be a dict, not str"):
        vantrel.analyze(f"s3://{BUCKET}/remote.mkv", storage_options="anon=true")
    with pytest.raises(vantrel.AnalysisError, match="unexpected keyword argument 'no_such_option'"):
        vantrel.analyze(f"s3://{BUCKET}/remote.mkv", storage_options={**s3_options, "no_such_option": 1})


def test_missing_packages_are_named(monkeypatch):
    if pytest.importorskip("importlib.util").find_spec("gcsfs") is None:
        with pytest.raises(ImportError, match="gcsfs"):
            vantrel.analyze("gs://bucket/film.mp4")
    monkeypatch.setitem(sys.modules, "fsspec.registry", None)  # as if fsspec were not installed
    assert not remote.through_fsspec("https://host/film.mp4")  # FFmpeg reads it itself
    with pytest.raises(ImportError, match=r"s3:// URLs needs fsspec: pip install 'vantrel-rs\[remote\]'"):
        vantrel.analyze("s3://bucket/film.mp4")


def test_command_reads_urls_as_files(s3, s3_options, served, clip, tmp_path):
    local = vantrel_cmd(clip, "-f", "json")
    assert local.returncode == 0, local.stderr
    for url, extra in ((f"s3://{BUCKET}/remote.mkv", cli_options(s3_options)), (f"{served}/remote.mkv", [])):
        run = vantrel_cmd(url, "-f", "json", *extra)
        assert run.returncode == 0, run.stderr
        assert run.stdout.replace(url, str(clip)) == local.stdout


def test_command_batches_a_glob_and_a_prefix(s3, s3_options, clip, tmp_path):
    local = vantrel_cmd(clip, "-f", "csv", "-o", tmp_path / "local.csv")
    assert local.returncode == 0, local.stderr
    expected = (tmp_path / "local.csv").read_text()
    for name, inputs in (("glob", [f"s3://{BUCKET}/batch/*.mkv"]), ("prefix", ["-r", f"s3://{BUCKET}/batch/"])):
        run = vantrel_cmd(*inputs, "-f", "csv", "-d", tmp_path / name, *cli_options(s3_options))
        assert run.returncode == 0, run.stderr
        files = sorted(p.name for p in (tmp_path / name).iterdir())
        if name == "glob":
            assert files == ["other.csv"]
        else:  # the two clip.mkv get tags, notes.txt is no video
            assert len(files) == 3 and "other.csv" in files and all(f.startswith("clip-") for f in files[:2])
        assert {p.read_text() for p in (tmp_path / name).iterdir()} == {expected}


def test_command_splits_a_url_through_a_copy_it_removes(s3, s3_options, clip, tmp_path):
    temp = tmp_path / "temp"
    temp.mkdir()
    env = {**os.environ, "TMPDIR": str(temp)}
    url = f"s3://{BUCKET}/remote.mkv"
    for name, input, extra in (("local", clip, []), ("remote", url, cli_options(s3_options))):
        run = vantrel_cmd(input, "--split", tmp_path / name, "--report", tmp_path / f"{name}.html",
                          "-o", tmp_path / f"{name}.txt", *extra, env=env)
        assert run.returncode == 0, run.stderr
    clips = sorted(p.name for p in (tmp_path / "local").iterdir())
    assert len(clips) > 1 and sorted(p.name for p in (tmp_path / "remote").iterdir()) == clips
    assert (tmp_path / "remote.txt").read_text() == (tmp_path / "local.txt").read_text()
    assert url in (tmp_path / "remote.html").read_text()
    assert list(temp.iterdir()) == []


def test_ctrl_c_removes_the_local_copy(s3, s3_options, tmp_path):
    temp = tmp_path / "temp"
    temp.mkdir()
    args = [f"s3://{BUCKET}/remote.mkv", "--split", tmp_path / "clips", "-o", tmp_path / "scenes.txt"]
    proc = subprocess.Popen([sys.executable, "-m", "vantrel", *map(str, args), *cli_options(s3_options)],
                            env={**os.environ, "TMPDIR": str(temp)}, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(6000):  # until the copy is there, or the command has ended
            if any(temp.iterdir()) or proc.poll() is not None:
                break
            time.sleep(0.01)
        proc.send_signal(signal.SIGINT)
        _, stderr = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert proc.returncode in (0, 130), stderr
    assert list(temp.iterdir()) == []


def test_command_errors_of_urls(s3, s3_options, clip, tmp_path):
    missing = vantrel_cmd(f"s3://{BUCKET}/none.mp4", *cli_options(s3_options))
    assert missing.returncode == 1 and f"s3://{BUCKET}/none.mp4: No such file" in missing.stderr
    no_bucket = vantrel_cmd("s3://no-such-bucket/*.mp4", "-d", tmp_path, *cli_options(s3_options))
    assert no_bucket.returncode == 2 and "no file matches s3://no-such-bucket/*.mp4" in no_bucket.stderr
    folder = vantrel_cmd(f"s3://{BUCKET}/batch/", "-d", tmp_path, *cli_options(s3_options))
    assert folder.returncode == 2 and "is a folder: add --recursive" in folder.stderr
    for args, said in (([f"s3://{BUCKET}/x.mp4", "--storage-option", "anon"], "'anon' is not KEY=VALUE"),
                       ([f"s3://{BUCKET}/x.mp4", "--storage-option", "=1"], "'=1' is not KEY=VALUE"),
                       ([clip, "--storage-option", "anon=true"], "--storage-option applies to URL inputs that fsspec reads")):
        run = vantrel_cmd(*args)
        assert run.returncode == 2 and said in run.stderr


def test_command_without_fsspec_names_the_extra(tmp_path):
    blocker = tmp_path / "fsspec"  # a package that cannot be imported shadows the real one
    blocker.mkdir()
    (blocker / "__init__.py").write_text("raise ImportError('no fsspec here')\n")
    env = {**os.environ, "PYTHONPATH": str(tmp_path)}
    run = vantrel_cmd("s3://bucket/film.mp4", env=env)
    assert run.returncode == 2 and "pip install 'vantrel-rs[remote]'" in run.stderr


def test_the_read_cache_holds_one_block(s3, s3_options):
    """The reading never keeps more than the read-ahead block, and reads each byte about once."""
    with remote.opened(f"s3://{BUCKET}/remote.mkv", s3_options) as file:
        vantrel.analyze(file)
        cache = file.cache
        assert cache.name == remote.CACHE_TYPE and cache.blocksize == remote.BLOCK_SIZE
        assert len(cache.cache) <= remote.BLOCK_SIZE + (1 << 20)
        assert cache.total_requested_bytes <= 2 * file.size + 2 * remote.BLOCK_SIZE


@pytest.fixture(scope="module")
def ray_local():
    ray = pytest.importorskip("ray")
    pytest.importorskip("ray.data")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    ray.shutdown()


def test_ray_data_rows_equal_scene_rows(ray_local, s3, s3_options, clip, tail_index):
    import pyarrow.fs
    from vantrel.ray_data import read_scenes

    urls = [f"s3://{BUCKET}/{clip.name}", f"s3://{BUCKET}/{tail_index.name}"]
    expected = [row for url, path in zip(urls, (clip, tail_index))
                for row in ({**r, "input": url} for r in vantrel.scene_rows(path, method="gradual"))]
    rows = read_scenes(urls, method="gradual", storage_options=s3_options).take_all()
    assert rows == expected
    fs = fsspec.filesystem("s3", **s3_options)
    assert read_scenes(urls, filesystem=fs, method="gradual").take_all() == expected
    arrow = pyarrow.fs.S3FileSystem(access_key="testing", secret_key="testing", scheme="http",
                                    endpoint_override=s3_options["client_kwargs"]["endpoint_url"][len("http://"):])
    paths = [url[len("s3://"):] for url in urls]
    assert read_scenes(paths, filesystem=arrow, method="gradual").take_all() == [
        {**r, "input": r["input"][len("s3://"):]} for r in expected]
    local = read_scenes(str(clip)).take_all()
    assert local == vantrel.scene_rows(clip, threads=1)


def test_ray_data_errors(ray_local, s3, s3_options, clip):
    from vantrel.ray_data import read_scenes

    with pytest.raises(TypeError, match="unexpected keyword argument 'treshold'"):
        read_scenes([str(clip)], treshold=0.5)
    with pytest.raises(ValueError, match="threshold must be from 0 to 1"):
        read_scenes([str(clip)], threshold=2)
    with pytest.raises(ValueError, match="storage_options go with URLs"):
        read_scenes([str(clip)], storage_options={"anon": True})
    with pytest.raises(Exception, match=f"s3://{BUCKET}/none.mp4: No such file"):
        read_scenes([f"s3://{BUCKET}/none.mp4"], storage_options=s3_options).take_all()


def test_ray_command_reads_urls_on_the_workers(s3, s3_options, tmp_path):
    pytest.importorskip("ray")
    runs = {}
    for mode, extra in (("local", []), ("ray", ["--ray"])):
        runs[mode] = vantrel_cmd(f"s3://{BUCKET}/batch/*.mkv", "-d", tmp_path / mode, *cli_options(s3_options),
                                 *extra)
        assert runs[mode].returncode == 0, runs[mode].stderr
    assert [p.read_bytes() for p in sorted((tmp_path / "ray").iterdir())] == \
        [p.read_bytes() for p in sorted((tmp_path / "local").iterdir())]
