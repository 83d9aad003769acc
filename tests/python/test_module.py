"""The Python surface of vantrel_rs: module, signatures, argument errors, results."""
import importlib
import inspect
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import vantrel_rs
from conftest import X264

FUNCTIONS = (vantrel_rs.detect_frames, vantrel_rs.detect_pass)
HEADER = "# XviD 2pass stat file (core version vantrel-rs 0.1.1)\n# Please do not modify this file\n\n"


@pytest.fixture(scope="module")
def clip(videos):
    return str(videos.cut("module-cut.mkv"))


class TestModule:
    def test_functions_in_order_and_nothing_else(self):
        public = [name for name in vars(vantrel_rs) if not name.startswith("__")]
        assert public == ["detect_frames", "detect_pass"]
        assert vantrel_rs.__name__ == "vantrel_rs"
        assert vantrel_rs.__doc__ == ""

    @pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
    def test_signature_and_docs(self, function):
        assert str(inspect.signature(function)) == "(input, native_res=False, hwdec=None)"
        assert function.__doc__ is None
        assert function.__module__ == "vantrel_rs"
        assert function.__self__ is vantrel_rs

    def test_repeated_import_yields_the_same_module(self):
        first = sys.modules.pop("vantrel_rs")
        try:
            again = importlib.import_module("vantrel_rs")
            assert again is first
        finally:
            sys.modules["vantrel_rs"] = first

    @pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="needs the 3.11 _xxsubinterpreters module")
    def test_import_into_a_second_interpreter_fails(self):
        code = textwrap.dedent("""
            import _xxsubinterpreters as interpreters
            import vantrel_rs
            interp = interpreters.create()
            try:
                interpreters.run_string(interp, "import vantrel_rs")
            except Exception as error:
                print("FAILED", type(error).__name__, error)
            else:
                print("IMPORTED")
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             env=_child_env(), timeout=60)
        assert "FAILED" in out.stdout and "ImportError" in out.stdout, out.stdout + out.stderr
        assert "sub-interpreters" in out.stdout

    @pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="needs the 3.11 _xxsubinterpreters module")
    def test_the_first_interpreter_to_import_wins(self):
        # After a sub-interpreter has imported the module, the main one is refused.
        code = textwrap.dedent("""
            import _xxsubinterpreters as interpreters
            interp = interpreters.create()
            interpreters.run_string(interp, "import vantrel_rs")
            try:
                import vantrel_rs
            except ImportError as error:
                print("FAILED", error)
            else:
                print("IMPORTED")
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             env=_child_env(), timeout=60)
        assert out.stdout.strip() == (
            "FAILED vantrel_rs does not support sub-interpreters: it can only be imported "
            "by one interpreter per process, the first that imports it"), out.stdout + out.stderr


def _child_env():
    import os
    env = dict(os.environ)
    env["PYTHONPATH"] = str(Path(vantrel_rs.__file__).parent) + os.pathsep + env.get("PYTHONPATH", "")
    return env


class TestBinding:
    @pytest.mark.parametrize("name", ["detect_frames", "detect_pass"])
    def test_count_and_name_errors(self, name):
        function = getattr(vantrel_rs, name)
        cases = [
            ((), {}, f"{name}() missing 1 required positional argument: 'input'"),
            (("a", False, None, 4), {}, f"{name}() takes from 1 to 3 positional arguments but 4 were given"),
            (("a", False, None, 4, 5), {}, f"{name}() takes from 1 to 3 positional arguments but 5 were given"),
            (("a",), {"input": "b"}, f"{name}() got multiple values for argument 'input'"),
            (("a", True), {"native_res": False}, f"{name}() got multiple values for argument 'native_res'"),
            (("a",), {"threads": 2}, f"{name}() got an unexpected keyword argument 'threads'"),
            ((), {"native_res": True}, f"{name}() missing 1 required positional argument: 'input'"),
        ]
        for args, kwargs, message in cases:
            with pytest.raises(TypeError) as info:
                function(*args, **kwargs)
            assert str(info.value) == message

    @pytest.mark.parametrize("kwargs, message", [
        ({"input": Path("/tmp/x.mkv")}, "argument 'input': 'PosixPath' object cannot be converted to 'PyString'"),
        ({"input": b"/tmp/x.mkv"}, "argument 'input': 'bytes' object cannot be converted to 'PyString'"),
        ({"input": "x", "native_res": 1}, "argument 'native_res': 'int' object cannot be converted to 'PyBool'"),
        ({"input": "x", "native_res": None}, "argument 'native_res': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"input": "x", "hwdec": 3}, "argument 'hwdec': 'int' object cannot be converted to 'PyString'"),
        ({"input": "x", "hwdec": b"cuda"}, "argument 'hwdec': 'bytes' object cannot be converted to 'PyString'"),
    ])
    def test_conversion_errors(self, kwargs, message):
        for function in FUNCTIONS:
            with pytest.raises(TypeError) as info:
                function(**kwargs)
            assert str(info.value) == message
            assert info.value.__cause__ is None

    def test_first_failing_conversion_wins(self):
        with pytest.raises(TypeError, match="^argument 'input'"):
            vantrel_rs.detect_frames(1, 2, 3)
        with pytest.raises(TypeError, match="^argument 'native_res'"):
            vantrel_rs.detect_frames("x", 2, 3)

    def test_lone_surrogate_raises_the_codec_error(self):
        with pytest.raises(UnicodeEncodeError) as info:
            vantrel_rs.detect_frames("bad\udc80.mkv")
        assert info.value.encoding == "utf-8"
        with pytest.raises(UnicodeEncodeError):
            vantrel_rs.detect_pass("x.mkv", hwdec="\ud800")

    def test_str_subclasses_are_accepted(self, clip):
        class Name(str):
            pass
        assert vantrel_rs.detect_frames(Name(clip), hwdec=None) == vantrel_rs.detect_frames(clip)


def fake_numpy_bool(type_name, **namespace):
    return type(type_name, (), {"__module__": "numpy", **namespace})()


class TestNumpyBooleans:
    def test_real_numpy_scalars(self, clip):
        numpy = pytest.importorskip("numpy")
        expected = vantrel_rs.detect_frames(clip, False)
        assert vantrel_rs.detect_frames(clip, numpy.bool_(False)) == expected
        assert vantrel_rs.detect_frames(clip, native_res=numpy.True_) == vantrel_rs.detect_frames(clip, True)

    @pytest.mark.parametrize("type_name", ["bool_", "bool"])
    def test_both_namings(self, clip, type_name):
        calls = []
        value = fake_numpy_bool(type_name, __bool__=lambda self: calls.append(1) or True)
        assert vantrel_rs.detect_frames(clip, value) == vantrel_rs.detect_frames(clip, True)
        assert calls == [1]

    def test_other_modules_and_names_are_refused(self):
        not_numpy = type("bool_", (), {"__module__": "numpyish", "__bool__": lambda self: True})()
        with pytest.raises(TypeError, match="'bool_' object cannot be converted to 'PyBool'"):
            vantrel_rs.detect_frames("x", not_numpy)
        with pytest.raises(TypeError, match="'int8' object cannot be converted"):
            vantrel_rs.detect_frames("x", fake_numpy_bool("int8", __bool__=lambda self: True))

    def test_type_without_truth_slot(self):
        with pytest.raises(TypeError) as info:
            vantrel_rs.detect_frames("x", fake_numpy_bool("bool_"))
        assert str(info.value) == "argument 'native_res': object of type 'bool_' does not define a '__bool__' conversion"

    def test_type_error_keeps_its_cause(self):
        def broken(self):
            raise TypeError("no truth here") from KeyError("why")
        with pytest.raises(TypeError) as info:
            vantrel_rs.detect_frames("x", fake_numpy_bool("bool", __bool__=broken))
        assert str(info.value) == "argument 'native_res': no truth here"
        assert isinstance(info.value.__cause__, KeyError)

    def test_other_exceptions_pass_through_unchanged(self):
        def broken(self):
            raise ValueError("ambiguous")
        with pytest.raises(ValueError, match="^ambiguous$"):
            vantrel_rs.detect_frames("x", fake_numpy_bool("bool_", __bool__=broken))


class TestResults:
    def test_call_forms_agree(self, clip):
        plain = vantrel_rs.detect_frames(clip)
        assert plain[0] == 0 and plain == sorted(set(plain))
        assert vantrel_rs.detect_frames(input=clip, native_res=False, hwdec=None) == plain
        assert vantrel_rs.detect_frames(clip, False, None) == plain
        text = vantrel_rs.detect_pass(clip)
        assert text == vantrel_rs.detect_pass(clip, False, None)
        assert text.startswith(HEADER) and text.endswith("\n")

    def test_missing_file_is_a_runtime_error_with_the_path(self, tmp_path):
        missing = str(tmp_path / "no such file.mkv")
        for function in FUNCTIONS:
            with pytest.raises(RuntimeError) as info:
                function(missing)
            assert str(info.value) == f"input/output error: failed to open input: {missing}"
            assert info.value.args == (str(info.value),)
            assert info.value.__cause__ is None and info.value.__context__ is None

    def test_interpreter_lock_is_held_for_the_whole_call(self, videos):
        # Long enough to be measured on an idle fast machine too: the full-resolution motion search
        # of 400 frames of 720p takes over half a second there.
        clip = str(videos("long-for-gil.mkv", ["-f", "lavfi", "-i", "testsrc=size=1280x720:rate=25:duration=16",
                                                *X264, "-preset", "ultrafast"]))
        ticks, stop = [], threading.Event()

        def spin():
            while not stop.is_set():
                ticks.append(time.perf_counter())
                time.sleep(0.001)

        thread = threading.Thread(target=spin)
        thread.start()
        time.sleep(0.05)
        start = time.perf_counter()
        vantrel_rs.detect_frames(clip, native_res=True)
        end = time.perf_counter()
        stop.set()
        thread.join()
        margin = 0.02
        inside = [t for t in ticks if start + margin < t < end - margin]
        assert end - start > 4 * margin
        assert inside == []
