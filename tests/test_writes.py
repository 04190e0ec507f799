"""Writing files: every writer hands a file all of its output even when each write takes only
part of it, and a file replaced by path is replaced whole or not at all."""

import io
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quorvex.sparsmat as sm
from quorvex._atomic import ReplacingFile
from quorvex.alphabet import StringAlphabet
from quorvex.feature import FCombo, Multipart, deserialize_fcombo, dump_example, make_multilabel
from quorvex.learn import AvgPer
from quorvex.storage import DirStorage


class Trickle(io.RawIOBase):
    """A raw binary file that takes at most `step` bytes per write, as a raw file near a full
    disk or a pipe may."""

    def __init__(self, step=3):
        self.data, self.step, self.calls = bytearray(), step, 0

    def writable(self):
        return True

    def write(self, b):
        self.calls += 1
        taken = bytes(b)[: self.step]
        self.data += taken
        return len(taken)


class TextTrickle(io.TextIOBase):
    def __init__(self):
        self.text = ""

    def write(self, s):
        self.text += s[:2]
        return min(2, len(s))


def outputs(make_file, read):
    """What each writer writes to a file made by make_file."""
    alphabet = StringAlphabet()
    for w in ("alpha", "béta", "gamma"):
        alphabet[w]
    learner = AvgPer(7)
    matrix = sm.CSRMatrixD([[(0, 1.5), (3, -2.0)], [], [(1, 4.0)]])
    fc = FCombo(1)
    m = Multipart([["w=dog", "suf=og"], ["rel=nsubj"]])
    m.add_tree({"nodes": [["S", ["a", "b"], [1]], ["NP", ["x"], []]], "roots": [0]})
    forest = make_multilabel(["a", "b"], [["b", "c"]], ["f"], fc)
    writers = {
        "tofile_utf8": alphabet.tofile_utf8,
        "save_binary": learner.save_binary,
        "write_pairs": sm.SparseVectorD([(1, 0.5), (9, -1.0)]).write_pairs,
        "write_binary": matrix.write_binary,
        "to_svmltk": lambda f: fc.to_svmltk(m, f),
    }
    out = {}
    for name, write in writers.items():
        f = make_file()
        write(f)
        out[name] = read(f)
    f = io.StringIO() if make_file is io.BytesIO else TextTrickle()
    dump_example(forest, f, fc)
    out["dump_example"] = f.getvalue() if isinstance(f, io.StringIO) else f.text
    return out


def test_writers_give_a_trickling_file_everything():
    whole = outputs(io.BytesIO, lambda f: f.getvalue())
    trickled = outputs(Trickle, lambda f: bytes(f.data))
    assert trickled == whole
    assert all(whole.values())


def test_a_write_that_takes_nothing_is_an_error():
    a = StringAlphabet()
    a["word"]
    with pytest.raises(OSError, match="took none"):
        a.tofile_utf8(Trickle(step=0))

    class Counting(io.RawIOBase):  # returns no count: everything counts as written
        def __init__(self):
            self.data = b""

        def write(self, b):
            self.data += bytes(b)

    f = Counting()
    a.tofile_utf8(f)
    assert f.data == b"quorvex-alphabet 1\n1\n4 word\n"


def test_replacing_file_keeps_the_target_until_it_is_complete(tmp_path):
    target = tmp_path / "f.bin"
    target.write_bytes(b"old")
    os.chmod(target, 0o640)
    with pytest.raises(RuntimeError):
        with ReplacingFile(target) as f:
            f.write(b"new, half")
            raise RuntimeError("the writer failed")
    f = ReplacingFile(target)
    f.write(b"abandoned")
    f.abort()
    assert target.read_bytes() == b"old" and os.listdir(tmp_path) == ["f.bin"]
    f = ReplacingFile(target)
    f.write(b"new")
    del f  # dropped without an error: it takes the target's place, as FCombo.serialize leaves it
    assert target.read_bytes() == b"new" and os.stat(target).st_mode & 0o777 == 0o640
    assert os.listdir(tmp_path) == ["f.bin"]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="file size limits as a full disk")
def test_a_full_disk_keeps_the_earlier_files(tmp_path):
    # RLIMIT_FSIZE stands in for a full disk: writes beyond 4 KB fail with EFBIG.
    script = textwrap.dedent(
        """
        import os, resource, signal, sys
        from quorvex.alphabet import StringAlphabet
        from quorvex.feature import FCombo
        from quorvex.learn import AvgPer
        from quorvex.storage import DirStorage

        os.chdir(sys.argv[1])
        AvgPer(10).save_binary("w.npy")
        small = FCombo(1)
        small(["a", "b"])
        small.serialize(DirStorage("m.fc"))
        before = {p: open(p, "rb").read() for p in ("w.npy", "m.fc/alph", "m.fc/opts")}
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
        failed = []
        try:
            AvgPer(100000).save_binary("w.npy")
        except OSError:
            failed.append("save_binary")
        big = FCombo(1)
        big(["feature-%d" % i for i in range(2000)])
        try:
            big.serialize(DirStorage("m.fc"))
        except OSError:
            failed.append("serialize")
        a = StringAlphabet()
        for i in range(2000):
            a["word%d" % i]
        try:
            with open("raw", "wb", buffering=0) as f:
                a.tofile_utf8(f)
        except OSError:
            failed.append("tofile_utf8")
        after = {p: open(p, "rb").read() for p in ("w.npy", "m.fc/alph", "m.fc/opts")}
        assert failed == ["save_binary", "serialize", "tofile_utf8"], failed
        assert after == before
        assert sorted(os.listdir(".")) == ["m.fc", "raw", "w.npy"], os.listdir(".")
        assert sorted(os.listdir("m.fc")) == ["alph", "opts"]
        print("ok")
        """
    )
    r = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, text=True)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stderr


def test_save_binary_to_a_path_replaces_the_file_whole(tmp_path):
    path = tmp_path / "w.npy"
    learner = AvgPer(5)
    learner.save_binary(path)
    first = np.load(path)
    assert first.shape == (5,) and os.listdir(tmp_path) == ["w.npy"]
    with pytest.raises(IsADirectoryError):
        learner.save_binary(tmp_path)


def test_a_failed_serialize_keeps_the_earlier_combiner(tmp_path):
    small = FCombo(1)
    small(["a", "b"])
    small.serialize(DirStorage(tmp_path))
    before = {n: (tmp_path / n).read_bytes() for n in ("alph", "opts")}
    big = FCombo(1, bias_item="B")
    big(["feature-%06d" % i for i in range(120_000)])  # more than one chunk of words

    class Meddling(DirStorage):  # its stream's first write changes the dictionary
        def writer(self, name):
            f = super().writer(name)
            write = f.write

            def meddle(b):
                big.dict["new word"]
                return write(b)

            f.write = meddle
            return f

    class Refusing(DirStorage):  # the words are written, the options fail
        def __setitem__(self, key, text):
            raise KeyboardInterrupt

    for storage, error in ((Meddling, RuntimeError), (Refusing, KeyboardInterrupt)):
        with pytest.raises(error):
            big.serialize(storage(tmp_path))
        assert {n: (tmp_path / n).read_bytes() for n in ("alph", "opts")} == before
        assert sorted(os.listdir(tmp_path)) == ["alph", "opts"]
    assert list(deserialize_fcombo(DirStorage(tmp_path, create=False)).dict) == ["a", "b"]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_a_pipe_is_written_to_not_replaced(tmp_path):
    # as a device would be (/dev/null, /dev/stdout): such files cannot be replaced
    os.mkfifo(tmp_path / "fifo")
    import threading

    got = []

    def read():
        with open(tmp_path / "fifo", "rb") as f:
            got.append(f.read())

    reader = threading.Thread(target=read)
    reader.start()
    AvgPer(3).save_binary(tmp_path / "fifo")
    reader.join(10)
    assert np.load(io.BytesIO(got[0])).shape == (3,) and os.path.exists(tmp_path / "fifo")
    assert not os.path.isfile(tmp_path / "fifo")
