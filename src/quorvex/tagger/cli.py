"""The tagger's command line: quorvex-tag train | tag | eval (also python -m quorvex.tagger)."""

import argparse
import collections
import os
import sys
import time

from quorvex.tagger.corpus import BUNDLED_CORPUS, bundled_corpus, read_conllu, split_corpus
from quorvex.tagger.model import Tagger

__all__ = ["EXAMPLE", "cmd_eval", "cmd_tag", "cmd_train", "main", "parser"]

EXAMPLE = "The quick brown fox jumps over the lazy dog near the river bank ."


def _split(sentences, source):
    """(token lists, tag lists) of read_conllu's sentences; a word whose UPOS is "_" (not
    annotated) is refused rather than learnt or scored as a tag."""
    for k, s in enumerate(sentences, 1):
        for i, (w, t) in enumerate(s, 1):
            if t == "_":
                raise SystemExit("quorvex-tag: %s: sentence %d, word %d (%r) has no UPOS tag ('_')" % (source, k, i, w))
    return [[w for w, _ in s] for s in sentences], [[t for _, t in s] for s in sentences]


def _check_model_path(path):
    """Refuses, before any training, a model path that could not be written."""
    real = os.path.realpath(path)
    folder = os.path.dirname(real)
    if os.path.isdir(real):
        raise SystemExit("quorvex-tag: --model %s is a directory" % path)
    if not os.path.isdir(folder):
        raise SystemExit("quorvex-tag: --model %s: the directory %s does not exist" % (path, folder))
    if not os.access(folder, os.W_OK | os.X_OK):
        raise SystemExit("quorvex-tag: --model %s: the directory %s is not writable" % (path, folder))


def _percent(x):
    return "%.2f%%" % (100.0 * x)


def cmd_train(args, out):
    start = time.perf_counter()
    _check_model_path(args.model)
    if args.train:
        train = read_conllu(args.train)
        dev = read_conllu(args.dev) if args.dev else None
        source = args.train
    else:
        if args.dev:
            raise SystemExit("quorvex-tag: --dev needs --train")
        train, dev = split_corpus(bundled_corpus())
        source = "the bundled corpus (%s): nine tenths, the last tenth held out" % BUNDLED_CORPUS
    if not train:
        raise SystemExit("quorvex-tag: %s holds no sentences" % args.train)
    words, tags = _split(train, source if args.train else "the bundled corpus")
    print(
        "training on %s: %d sentences, %d tokens, %d epochs, %s"
        % (
            source,
            len(words),
            sum(map(len, words)),
            args.epochs,
            "every label a candidate" if args.all_labels else "tag-dictionary candidates",
        ),
        file=out,
    )
    tagger = Tagger(prune=not args.all_labels, seed=args.seed)
    t0 = time.perf_counter()
    with _dask_client(args.scheduler) as client:
        tagger.fit(
            words,
            tags,
            epochs=args.epochs,
            dev=_split(dev, args.dev or "the bundled corpus") if dev else None,
            progress=not args.quiet,
            client=client,
            shards=args.shards,
        )
    fit_time = time.perf_counter() - t0
    for h in tagger.history:
        parts = ["epoch %d:" % h["epoch"]]
        if "train_accuracy" in h:
            parts.append("training accuracy %s" % _percent(h["train_accuracy"]))
        if "dev_accuracy" in h:
            parts.append("%s accuracy %s" % ("held-out" if not args.train else "dev", _percent(h["dev_accuracy"])))
        if "compute_seconds" in h:
            parts.append("round %.2f s" % h["seconds"])
        print(" ".join(parts[:1]) + " " + ", ".join(parts[1:]), file=out)
    print(
        "trained in %.1f s (%.0f tokens/s over %d epochs)"
        % (fit_time, sum(map(len, words)) * args.epochs / fit_time, args.epochs),
        file=out,
    )
    try:
        tagger.save(args.model)
    except OSError as e:
        raise SystemExit("quorvex-tag: cannot save the model to %s: %s" % (args.model, e.strerror or e)) from None
    print(
        "saved %s (%d labels, %d features, %.1f MB)"
        % (args.model, len(tagger.labels), tagger.model.n_features, os.path.getsize(args.model) / 1e6),
        file=out,
    )
    example = EXAMPLE.split()
    print(" ".join("%s/%s" % wt for wt in zip(example, tagger.tag(example))), file=out)
    print("done in %.1f s" % (time.perf_counter() - start), file=out)
    return 0


class _dask_client:
    """A Dask client of the scheduler at `address` for the with block, or None without one."""

    def __init__(self, address):
        self.address, self.client = address, None

    def __enter__(self):
        if self.address:
            try:
                from dask.distributed import Client
            except ImportError:
                raise SystemExit("quorvex-tag: --scheduler needs Dask: pip install 'quorvex[dask]'") from None
            self.client = Client(self.address, timeout="30s")
        return self.client

    def __exit__(self, *exc):
        if self.client is not None:
            self.client.close()


def _read_text(f):
    """Sentences of plain text: one per line, tokens separated by blanks (empty lines kept)."""
    return [line.split() for line in f]


def _conllu_blocks(f, source):
    """The sentences of CoNLL-U text as (lines, words): the block's lines as they stand (line
    ends dropped) and the forms of its words (integer ids: multiword-token ranges and empty
    nodes are kept as lines but not tagged). Blocks of comments only are kept too."""
    blocks, lines, words = [], [], []
    for number, line in enumerate(f, 1):
        line = line.rstrip("\r\n")
        if not line.strip():
            if lines:
                blocks.append((lines, words))
                lines, words = [], []
            continue
        if not line.startswith("#"):
            fields = line.split("\t")
            if len(fields) != 10:
                raise ValueError(
                    "%s, line %d: a word line has 10 tab-separated columns, not %d" % (source, number, len(fields))
                )
            if fields[0].isdigit():
                words.append(fields[1])
        lines.append(line)
    if lines:
        blocks.append((lines, words))
    return blocks


def _with_tags(lines, tags):
    """The block's lines with the UPOS column of its words set to tags, everything else as it was."""
    it = iter(tags)
    for line in lines:
        if line.startswith("#"):
            yield line
            continue
        fields = line.split("\t")
        if fields[0].isdigit():
            fields[3] = next(it)
        yield "\t".join(fields)


def cmd_tag(args, out):
    tagger = Tagger.load(args.model)
    fmt = args.input_format
    if fmt == "auto":
        fmt = "conllu" if args.input and args.input.endswith((".conllu", ".conll")) else "text"
    output = args.output_format or ("conllu" if fmt == "conllu" else "slash")
    source = args.input or "standard input"
    f = open(args.input, encoding="utf-8-sig") if args.input else sys.stdin  # noqa: SIM115 (closed below unless stdin)
    try:
        if fmt == "conllu":
            # The input's lines are written back as they stand, comments included; only the
            # UPOS column of its words changes.
            blocks = _conllu_blocks(f, source)
            token_lists = [words for _, words in blocks]
        else:
            blocks = None
            token_lists = _read_text(f)
    except UnicodeDecodeError as e:
        raise ValueError("%s is not UTF-8 text (byte %d: %s)" % (source, e.start, e.reason)) from None
    finally:
        if f is not sys.stdin:
            f.close()
    tags = tagger.predict(token_lists, progress=not args.quiet)
    for k, (words, ts) in enumerate(zip(token_lists, tags)):
        if output == "slash":
            print(" ".join("%s/%s" % wt for wt in zip(words, ts)), file=out)
        elif blocks is not None:
            for line in _with_tags(blocks[k][0], ts):
                print(line, file=out)
            print(file=out)
        else:
            for i, (w, t) in enumerate(zip(words, ts), 1):
                print("%d\t%s\t_\t%s\t_\t_\t_\t_\t_\t_" % (i, w, t), file=out)
            print(file=out)
    return 0


def cmd_eval(args, out):
    tagger = Tagger.load(args.model)
    words, gold = _split(read_conllu(args.conllu), args.conllu)
    if not words:
        raise SystemExit("quorvex-tag: %s holds no sentences" % args.conllu)
    known = set(tagger.labels)
    pred = tagger.predict(words, progress=not args.quiet)
    counts = collections.defaultdict(lambda: [0, 0, 0])  # gold, predicted, correct
    correct = total = 0
    for ps, gs in zip(pred, gold):
        for p, g in zip(ps, gs):
            counts[g][0] += 1
            counts[p][1] += 1
            if p == g:
                counts[g][2] += 1
                correct += 1
            total += 1
    print(
        "%s: %d sentences, %d tokens, accuracy %s" % (args.conllu, len(words), total, _percent(correct / total)),
        file=out,
    )
    unseen = sorted(set(counts) - known)
    if unseen:
        print("tags never seen in training (always wrong): %s" % ", ".join(unseen), file=out)
    print("\n| tag | gold | predicted | precision | recall | F1 |\n|---|---:|---:|---:|---:|---:|", file=out)
    for tag in sorted(counts, key=lambda t: (-counts[t][0], t)):
        g, p, c = counts[tag]
        prec = c / p if p else 0.0
        rec = c / g if g else 0.0
        f1 = 2 * prec * rec / (prec + rec) if prec + rec else 0.0
        print("| %s | %d | %d | %.3f | %.3f | %.3f |" % (tag, g, p, prec, rec, f1), file=out)
    return 0


def parser():
    ap = argparse.ArgumentParser(
        prog="quorvex-tag",
        description="Train, run and evaluate quorvex's part-of-speech tagger (a structured averaged perceptron).",
    )
    sub = ap.add_subparsers(dest="command", required=True)
    t = sub.add_parser(
        "train",
        help="train a tagger on CoNLL-U (UPOS column) and save it",
        description="Train a tagger and save it. Without --train it trains on nine tenths of "
        "the bundled corpus (%s), reports accuracy on the other tenth, saves the model "
        "and tags an example sentence." % BUNDLED_CORPUS,
    )
    t.add_argument("--train", help="training corpus (CoNLL-U)")
    t.add_argument("--dev", help="evaluation corpus (CoNLL-U), scored after every epoch")
    t.add_argument("--epochs", type=int, default=5, help="passes over the training data (default 5)")
    t.add_argument("--model", default="tagger.qvt", help="where to save the model (default tagger.qvt)")
    t.add_argument(
        "--all-labels",
        action="store_true",
        help="offer every label at every token instead of the candidates of a tag dictionary (slower)",
    )
    t.add_argument("--seed", type=int, default=0, help="seed of the training order")
    t.add_argument("--quiet", action="store_true", help="no progress bars")
    t.add_argument(
        "--scheduler",
        help="train by parameter mixing on the workers of this Dask scheduler (HOST:PORT; needs quorvex[dask])",
    )
    t.add_argument(
        "--shards",
        type=int,
        help="shards for parameter mixing (default: one per Dask worker; "
        "without --scheduler, the mixing rounds run in this process)",
    )
    g = sub.add_parser(
        "tag",
        help="tag plain text or CoNLL-U",
        description="Tag text: plain text has one sentence per line with tokens separated by "
        "blanks; CoNLL-U gets its UPOS column filled.",
    )
    g.add_argument("input", nargs="?", help="input file (standard input by default)")
    g.add_argument("--model", default="tagger.qvt", help="the model (default tagger.qvt)")
    g.add_argument(
        "--input-format",
        choices=["auto", "text", "conllu"],
        default="auto",
        help="auto: CoNLL-U for .conllu files, else plain text",
    )
    g.add_argument(
        "--output-format", choices=["slash", "conllu"], help="word/TAG lines, or CoNLL-U (default: the input's form)"
    )
    g.add_argument("--quiet", action="store_true", help="no progress bar")
    e = sub.add_parser("eval", help="accuracy and a per-tag table on a CoNLL-U corpus")
    e.add_argument("conllu", help="the corpus (CoNLL-U, UPOS column)")
    e.add_argument("--model", default="tagger.qvt", help="the model (default tagger.qvt)")
    e.add_argument("--quiet", action="store_true", help="no progress bar")
    return ap


def main(argv=None, out=None):
    args = parser().parse_args(argv)
    out = out or sys.stdout
    if getattr(args, "epochs", 1) < 1:
        raise SystemExit("quorvex-tag: --epochs must be at least 1")
    try:
        return {"train": cmd_train, "tag": cmd_tag, "eval": cmd_eval}[args.command](args, out)
    except (OSError, ValueError) as e:
        print("quorvex-tag: %s" % e, file=sys.stderr)
        return 1
