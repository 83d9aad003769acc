"""The wheel's modules and PyAV (which loads an FFmpeg of its own) in one
process, imported in the given order: all decode, and the modules' results
are those of the system-FFmpeg build (EXPECTED, results.py's text).
Usage: python beside_pyav.py av-first|ours-first EXPECTED CLIP... (in the clips' folder)"""
import json
import sys

order, expected_path, *names = sys.argv[1:]
if order == "av-first":
    import av
    import vantrel
    import vantrel_rs
else:
    import vantrel
    import vantrel_rs
    import av

results = json.loads(open(expected_path).read())
expected, expected_engine = results["module"], results["analyze"]
failures = []
for name in names:
    # Interleaved: ours, then PyAV on the same file, then ours again.
    first = vantrel_rs.detect_frames(name)
    with av.open(name) as container:
        av_frames = sum(1 for _ in container.decode(video=0))
    second = vantrel_rs.detect_pass(name)
    want = expected[f"{name} native_res=False"]
    if first != want["frames"] or second != want["pass"]:
        failures.append(f"{name}: results differ from the system build's")
    analysis = vantrel.analyze(name, threads=0)
    want = expected_engine[f"{name} threads=0"]
    if "error" not in want and (analysis.keyframes, analysis.pass_text) != (want["keyframes"], want["pass"]):
        failures.append(f"{name}: vantrel.analyze differs from the system build's")
    our_frames = sum(1 for line in second.splitlines() if line in ("i", "p"))
    if av_frames != our_frames:
        failures.append(f"{name}: PyAV decoded {av_frames} frames, the module {our_frames}")

print(f"{order}: PyAV {av.__version__} (libavcodec {av.library_versions['libavcodec']}),"
      f" {len(names)} clips, {len(failures)} failures")
for failure in failures:
    print("  " + failure)
sys.exit(1 if failures else 0)
