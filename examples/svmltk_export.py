"""Write an SVM-light-TK training file from dependency-parsed sentences.

Each CoNLL-U sentence becomes one multipart example: its dependency tree as an information
tree (a node per token labelled with the UPOS tag, the lower-cased word as the node's
feature, edges from head to dependent labelled with the relation) and two feature parts
(the words, and the POS tags with POS bigrams). FCombo.to_svmltk writes the tree in
bracketed form and the parts as sparse vectors; the program puts the class label in front
and ends the line. The task is passive-voice detection: +1 when a token of the sentence
has the relation nsubj:pass or aux:pass, else -1.

    python examples/svmltk_export.py [CONLLU_FILE] [-o OUT] [--limit N]

Without a file, the UD LinES training sentences are read from ../shared/data when that
folder exists, else a small built-in sample. Writes OUT (default svmltk_train.dat) and the
feature dictionary next to it (OUT.dict, StringAlphabet.tofile_utf8 format).
"""

import argparse
import io
import pathlib
import sys
import time

from corpus import data_dir, read_conllu

from quorvex.feature import FCombo, Multipart

SAMPLE = """\
# text = The report was written by the committee.
1	The	the	DET	_	_	2	det	_	_
2	report	report	NOUN	_	_	4	nsubj:pass	_	_
3	was	be	AUX	_	_	4	aux:pass	_	_
4	written	write	VERB	_	_	0	root	_	_
5	by	by	ADP	_	_	7	case	_	_
6	the	the	DET	_	_	7	det	_	_
7	committee	committee	NOUN	_	_	4	obl	_	SpaceAfter=No
8	.	.	PUNCT	_	_	4	punct	_	_

# text = The committee wrote the report.
1	The	the	DET	_	_	2	det	_	_
2	committee	committee	NOUN	_	_	3	nsubj	_	_
3	wrote	write	VERB	_	_	0	root	_	_
4	the	the	DET	_	_	5	det	_	_
5	report	report	NOUN	_	_	3	obj	_	SpaceAfter=No
6	.	.	PUNCT	_	_	3	punct	_	_

# text = Files are saved automatically.
1	Files	file	NOUN	_	_	3	nsubj:pass	_	_
2	are	be	AUX	_	_	3	aux:pass	_	_
3	saved	save	VERB	_	_	0	root	_	_
4	automatically	automatically	ADV	_	_	3	advmod	_	SpaceAfter=No
5	.	.	PUNCT	_	_	3	punct	_	_

# text = Click Save to keep your changes.
1	Click	click	VERB	_	_	0	root	_	_
2	Save	save	PROPN	_	_	1	obj	_	_
3	to	to	PART	_	_	4	mark	_	_
4	keep	keep	VERB	_	_	1	advcl	_	_
5	your	you	PRON	_	_	6	nmod:poss	_	_
6	changes	change	NOUN	_	_	4	obj	_	SpaceAfter=No
7	.	.	PUNCT	_	_	1	punct	_	_

# text = The menü was updated by café.
1	The	the	DET	_	_	2	det	_	_
2	menü	menü	NOUN	_	_	4	nsubj:pass	_	_
3	was	be	AUX	_	_	4	aux:pass	_	_
4	updated	update	VERB	_	_	0	root	_	_
5	by	by	ADP	_	_	6	case	_	_
6	café	café	NOUN	_	_	4	obl	_	SpaceAfter=No
7	.	.	PUNCT	_	_	4	punct	_	_
"""


def find_corpus():
    """The UD LinES training file, or None when the shared data are absent."""
    folder = data_dir()
    path = folder / "en_lines-ud-train.conllu" if folder else None
    return path if path and path.exists() else None


def read_sentences(f):
    """Sentences as lists of (form, upos, head, deprel) from an open CoNLL-U text file."""
    return read_conllu(f, ("form", "upos", "head", "deprel"))


def tree_json(sentence):
    """The JSON form of the sentence's dependency tree (InfoTree / Multipart.add_tree input)."""
    nodes = [[upos, [form.lower()], []] for form, upos, _, _ in sentence]
    roots = []
    for i, (_, _, head, rel) in enumerate(sentence):
        if head == 0:
            roots.append(i)
        else:
            nodes[head - 1][2].append([i, rel])
    return {"nodes": nodes, "roots": roots}


def example(sentence):
    """One multipart example: the words, the tags and tag bigrams, and the tree."""
    words = ["w=" + form.lower() for form, _, _, _ in sentence]
    tags = [upos for _, upos, _, _ in sentence]
    pos = ["p=" + t for t in tags] + ["pp=%s_%s" % pair for pair in zip(["<s>"] + tags, tags + ["</s>"])]
    m = Multipart([words, pos])
    m.add_tree(tree_json(sentence))
    return m


def label(sentence):
    return "+1" if any(rel in ("nsubj:pass", "aux:pass") for _, _, _, rel in sentence) else "-1"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("conllu", nargs="?", help="a CoNLL-U file (default: UD LinES train, else a sample)")
    ap.add_argument("-o", "--out", default="svmltk_train.dat")
    ap.add_argument("--limit", type=int, default=0, help="use only the first N sentences")
    args = ap.parse_args()
    path = pathlib.Path(args.conllu) if args.conllu else find_corpus()
    if path is not None:
        with open(path, encoding="utf-8") as f:
            sentences = read_sentences(f)
        source = str(path)
    else:
        sentences = read_sentences(io.StringIO(SAMPLE))
        source = "the built-in sample"
    if args.limit:
        sentences = sentences[: args.limit]
    if not sentences:
        sys.exit("no sentences in %s" % source)

    fc = FCombo(1, bias_item="<bias>")  # single features plus a bias, as a linear kernel likes
    start = time.perf_counter()
    positives = 0
    with open(args.out, "wb") as out:
        for s in sentences:
            y = label(s)
            positives += y == "+1"
            out.write(y.encode("ascii"))
            fc.to_svmltk(example(s), out)
            out.write(b"\n")
    elapsed = time.perf_counter() - start
    with open(args.out + ".dict", "wb") as f:
        fc.dict.tofile_utf8(f)

    print(
        "%d sentences from %s: %d positive, %d negative; %d features; %.0f sentences/s"
        % (len(sentences), source, positives, len(sentences) - positives, len(fc.dict), len(sentences) / elapsed)
    )
    print("wrote %s and %s" % (args.out, args.out + ".dict"))
    with open(args.out, encoding="utf-8") as f:
        first = f.readline().rstrip("\n")
    print("first line:\n  " + (first if len(first) <= 300 else first[:300] + " ..."))


if __name__ == "__main__":
    main()
