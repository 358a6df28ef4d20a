"""Faults nobody chose: one-line mutations generated from the C++ sources.

Each source line is read with its comments and the insides of its string and
character literals blanked out, so that nothing is mutated there. Lines that
cannot change behaviour a test could see are skipped: preprocessor lines,
static_asserts, assertions (compiled out of the release build) and logging.
On what is left, every place one of these applies gives a fault:

    rel     a relational operator moved by one:  <  <=  >  >=  (each to its
            neighbour: < and <=, > and >=)
    eq      == and != swapped
    logic   && and || swapped
    not     a logical ! dropped
    cond    the condition of an if or while negated
    bool    true and false swapped
    const   an integer constant nudged by one, up and down
    stmt    a whole one-line statement deleted (a call, an assignment, an
            increment, a throw, a co_await, a break or continue)
    return  an early return deleted (a return that is the body of an if or
            else, or follows one on the same line)

A fault's id is the file, the kind and a hash of the line's text (without its
indentation), the line's occurrence among identical lines of the file, and the
mutated text: it stays the same while the line is unchanged, wherever the line
moves, so that equivalent.txt keeps naming it.
"""

import hashlib
import os
import re

SOURCE_SUFFIXES = (".cpp", ".h")

# Lines holding any of these words cannot matter to a test: assertions are
# compiled out of the release build, logging only writes to stderr.
SKIPPED_WORDS = re.compile(
    r"\b(static_assert|Q_ASSERT|Q_ASSERT_X|assert|Q_UNUSED|Q_OBJECT|Q_DISABLE_COPY|Q_DISABLE_COPY_MOVE|"
    r"qWarning|qDebug|qInfo|qCritical|qFatal|qCWarning|qCDebug|qCInfo|qCCritical)\b")

KEYWORDS = {"return", "co_return", "co_await", "co_yield", "throw", "delete", "new", "case", "default",
            "goto", "else", "do", "sizeof", "const", "static", "constexpr", "auto", "using", "typedef",
            "template", "typename", "class", "struct", "enum", "namespace", "public", "private",
            "protected", "signals", "slots", "emit", "Q_EMIT", "operator", "virtual", "explicit", "inline",
            "friend", "mutable", "volatile", "extern", "if", "for", "while", "switch", "try", "catch"}


class Mutant:
    """One generated fault: in path, line number lineno (1-based), original becomes mutated."""

    def __init__(self, path, lineno, kind, original, mutated, ident):
        self.path, self.lineno, self.kind = path, lineno, kind
        self.original, self.mutated, self.ident = original, mutated, ident

    @property
    def what(self):
        return "%s:%d %s: %s  ->  %s" % (self.path, self.lineno, self.kind, self.original.strip(),
                                         self.mutated.strip() or "(deleted)")


def blank_code(text):
    """The text with comments turned into spaces and the insides of string and
    character literals into 'x', character for character (line breaks kept)."""
    out = list(text)
    i, n = 0, len(text)

    def blank(start, end, fill):
        for k in range(start, end):
            if out[k] != "\n":
                out[k] = fill

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            blank(i, end, " ")
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            blank(i, end, " ")
            i = end
        elif c == '"':
            # A raw string: R"delim( ... )delim", with an optional prefix before R.
            if i > 0 and text[i - 1] == "R" and (i < 2 or not (text[i - 2].isalnum() or text[i - 2] == "_")
                                               or text[i - 2] in "uUL8"):
                open_paren = text.find("(", i)
                delim = text[i + 1:open_paren]
                end = text.find(")" + delim + '"', open_paren)
                end = n if end < 0 else end + len(delim) + 2
                blank(i + 1, end - 1, "x")
                i = end
                continue
            k = i + 1
            while k < n and text[k] != '"' and text[k] != "\n":
                k += 2 if text[k] == "\\" else 1
            blank(i + 1, min(k, n), "x")
            i = k + 1
        elif c == "'":
            k = i + 1
            while k < n and text[k] != "'" and text[k] != "\n":
                k += 2 if text[k] == "\\" else 1
            blank(i + 1, min(k, n), "x")
            i = k + 1
        elif c.isdigit() and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            # A number, with its digit separators (1'000) kept as code.
            k = i + 1
            while k < n and (text[k].isalnum() or text[k] in "._" or
                             (text[k] == "'" and k + 1 < n and text[k + 1].isalnum())):
                k += 1
            i = k
        elif c.isalpha() or c == "_":
            k = i + 1
            while k < n and (text[k].isalnum() or text[k] == "_"):
                k += 1
            i = k
        else:
            i += 1
    return "".join(out)


def balanced(code):
    depth = 0
    for c in code:
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth < 0:
                return False
    return depth == 0


def matching_paren(code, open_index):
    depth = 0
    for k in range(open_index, len(code)):
        if code[k] == "(":
            depth += 1
        elif code[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


class BraceTracker:
    """Knows, line by line, whether code stands inside a function body (where
    statements are) or at namespace, class or initializer level."""

    def __init__(self):
        self.stack = []
        self.pending = ""

    def in_code(self):
        return "code" in self.stack

    def feed(self, code):
        for c in code:
            if c == "{":
                head = self.pending.strip()
                if "code" in self.stack:
                    kind = "code"
                elif re.search(r"\bnamespace\b", head) or head.startswith("extern"):
                    kind = "ns"
                elif re.search(r"\b(class|struct|union|enum)\b", head) and "(" not in head:
                    kind = "class"
                elif re.search(r"(\)|\bconst|\boverride|\bnoexcept|\bfinal|\bmutable|\]|\btry|\belse|\bdo)$", head) \
                        or re.search(r"->\s*[\w:<>, ]+$", head):
                    kind = "code"
                else:
                    kind = "init"
                self.stack.append(kind)
                self.pending = ""
            elif c == "}":
                if self.stack:
                    self.stack.pop()
                self.pending = ""
            elif c == ";":
                self.pending = ""
            else:
                self.pending += c
        self.pending += " "


CALL = re.compile(r"^(\*\s*)?(::)?~?\w+(\s*(\.|->|::)\s*~?\w+)*(<[\w:, <>*&]*>)?\s*\(")
ASSIGN = re.compile(r"^[\w.\[\]*()>-]+?\s*([-+*/%&|^]|<<|>>)?=\s*[^=]")
INCDEC = re.compile(r"^((\+\+|--)[\w.\[\]>-]+|[\w.\[\]>-]+(\+\+|--))\s*;$")
OTHER_STATEMENT = re.compile(r"^(co_await|throw|delete|Q_EMIT|emit)\b|^(break|continue)\s*;$")
RETURN = re.compile(r"^(co_)?return\b")
HEADING = re.compile(r"^(\}\s*)?(else\s+)?(if|while|for)\s*\(.*\)\s*\{?$|^(\}\s*)?else\s*\{?$")
INLINE_IF = re.compile(r"^(\}\s*)?(else\s+)?if\s*\(")


def statement_kind(code, prev_code):
    """'stmt' or 'return' when the stripped code line is one whole statement we
    may delete, or None."""
    if not code.endswith(";") or not balanced(code) or code.endswith("= delete;") or code.endswith("= default;"):
        return None
    if prev_code and not (prev_code.endswith((";", "{", "}", ":")) or HEADING.match(prev_code)):
        return None
    if RETURN.match(code):
        return "return" if prev_code and HEADING.match(prev_code) else None
    first = re.match(r"\w+", code)
    if first and first.group(0) in KEYWORDS and not OTHER_STATEMENT.match(code):
        return None
    if OTHER_STATEMENT.match(code) or INCDEC.match(code):
        return "stmt"
    if CALL.match(code):
        # "Type name(...)" is a declaration, not a call: CALL wants the name
        # chain right before the parenthesis.
        return "stmt"
    m = ASSIGN.match(code)
    if m and " " not in code[:m.start(1) if m.group(1) else code.index("=")].strip():
        return "stmt"
    return None


def integer_variants(token):
    """The token's integer nudged by one each way, in its own notation, or []."""
    plain = token.replace("'", "")
    m = re.fullmatch(r"(0[xX][0-9a-fA-F]+|0[bB][01]+|[0-9]+)([uUlL]*)", plain)
    if not m:
        return []
    digits, suffix = m.groups()
    if digits[:2] in ("0x", "0X"):
        value, fmt = int(digits, 16), lambda v: "0x%X" % v
    elif digits[:2] in ("0b", "0B"):
        value, fmt = int(digits, 2), lambda v: "0b" + bin(v)[2:]
    elif len(digits) > 1 and digits.startswith("0"):
        value, fmt = int(digits, 8), lambda v: "0%o" % v
    else:
        value, fmt = int(digits), str
    out = [fmt(value + 1) + suffix]
    if value > 0:
        out.append(fmt(value - 1) + suffix)
    return out


OPERATORS = re.compile(r"(?<= )(<=|>=|<|>|==|!=|&&|\|\|)(?= )")
SWAPS = {"<": ("rel", "<="), "<=": ("rel", "<"), ">": ("rel", ">="), ">=": ("rel", ">"),
         "==": ("eq", "!="), "!=": ("eq", "=="), "&&": ("logic", "||"), "||": ("logic", "&&")}


def line_mutations(line, code, statement):
    """(kind, mutated line) for every fault on one line; code is the blanked line."""
    out = []
    for m in OPERATORS.finditer(code):
        kind, replacement = SWAPS[m.group(1)]
        out.append((kind, line[:m.start()] + replacement + line[m.end():]))
    for m in re.finditer(r"!(?!=)", code):
        out.append(("not", line[:m.start()] + line[m.end():]))
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        if code[m.end():].startswith("constexpr"):
            continue
        close = matching_paren(code, m.end() - 1)
        if close < 0:
            continue
        inside = line[m.end():close]
        out.append(("cond", line[:m.end()] + "!(" + inside + ")" + line[close:]))
    for m in re.finditer(r"\b(true|false)\b", code):
        out.append(("bool", line[:m.start()] + ("false" if m.group(1) == "true" else "true") + line[m.end():]))
    # "= 0" of a pure virtual function is no number.
    pure = re.search(r"\)\s*(const\s*)?(override\s*)?=\s*0\s*;", code)
    for m in re.finditer(r"(?<![\w.'])[0-9][0-9a-zA-Z_.']*", code if not pure else ""):
        token = m.group(0)
        if "." in token or (re.search(r"[eE]", token) and not token[:2] in ("0x", "0X")):
            continue
        for variant in integer_variants(token):
            out.append(("const", line[:m.start()] + variant + line[m.end():]))
    if statement:
        indent = line[:len(line) - len(line.lstrip())]
        out.append((statement, indent + ";" + line[len(line.rstrip()):]))
    return out


def source_files(root, folders):
    files = []
    for folder in folders:
        for base, dirs, names in os.walk(os.path.join(root, folder)):
            dirs.sort()
            for name in sorted(names):
                if name.endswith(SOURCE_SUFFIXES):
                    files.append(os.path.relpath(os.path.join(base, name), root))
    return files


def file_mutants(root, path):
    with open(os.path.join(root, path), encoding="utf-8") as f:
        text = f.read()
    lines = text.split("\n")
    codes = blank_code(text).split("\n")
    mutants, seen_lines = [], {}
    braces = BraceTracker()
    prev_code = ""
    in_directive = False
    in_skipped = False
    for index, (line, code) in enumerate(zip(lines, codes)):
        stripped = code.strip()
        directive = in_directive or stripped.startswith("#")
        in_directive = directive and stripped.endswith("\\")
        if directive or not stripped:
            continue
        statement_start = prev_code.endswith((";", "{", "}")) or not prev_code
        skipped = SKIPPED_WORDS.search(code) or (in_skipped and not statement_start)
        in_skipped = bool(skipped) and not stripped.endswith((";", "{", "}"))
        in_code = braces.in_code()
        braces.feed(code)
        key = line.strip()
        occurrence = seen_lines.get(key, 0)
        seen_lines[key] = occurrence + 1
        if not skipped:
            statement = statement_kind(stripped, prev_code) if in_code else None
            if statement == "return" and not in_code:
                statement = None
            if statement is None and in_code and INLINE_IF.match(stripped):
                # "if (x) return y;" on one line: delete the return.
                m = re.search(r"\)\s*((co_)?return\b[^;]*;)\s*$", code)
                if m and balanced(code[:m.start(1)]):
                    variant = line[:m.start(1)] + ";" + line[m.end(1):]
                    mutants.append((index, "return", variant, key, occurrence))
            for kind, mutated in line_mutations(line, code, statement):
                if mutated != line:
                    mutants.append((index, kind, mutated, key, occurrence))
        prev_code = stripped
    out, counts = [], {}
    for index, kind, mutated, key, occurrence in mutants:
        # Two faults of one kind can give the same text (none do today); the
        # running count keeps their ids apart.
        digest_input = "\n".join([path, key, str(occurrence), kind, mutated.strip()])
        n = counts.get(digest_input, 0)
        counts[digest_input] = n + 1
        digest = hashlib.sha1((digest_input + "\n%d" % n).encode()).hexdigest()[:10]
        out.append(Mutant(path, index + 1, kind, line_at(lines, index), mutated, "%s:%s:%s" % (path, kind, digest)))
    return out


def line_at(lines, index):
    return lines[index]


def generate(root, folders):
    mutants = []
    for path in source_files(root, folders):
        mutants.extend(file_mutants(root, path))
    return mutants


def read_equivalents(path):
    """id -> why, from lines "id  why"; # lines are comments."""
    equivalents = {}
    if not os.path.exists(path):
        return equivalents
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            ident, _, why = line.partition(" ")
            equivalents[ident] = why.strip()
    return equivalents
