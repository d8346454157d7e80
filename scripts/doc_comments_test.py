#!/usr/bin/env python3
"""What scripts/doc-comments shows Doxygen as documentation, and what it leaves alone. A
wrong guess either documents a declaration with an unrelated comment or hides a real
comment from the API reference, and a changed line count moves every warning's line."""
import importlib.machinery
import importlib.util
import unittest
from pathlib import Path

loader = importlib.machinery.SourceFileLoader("doc_comments", str(Path(__file__).with_name("doc-comments")))
spec = importlib.util.spec_from_loader("doc_comments", loader)
doc_comments = importlib.util.module_from_spec(spec)
loader.exec_module(doc_comments)


def run(text):
    return "".join(doc_comments.filter_lines(text.splitlines(keepends=True)))


class DocCommentsTest(unittest.TestCase):
    def test_cases(self):
        cases = [
            ("the opening block describes the file",
             "// What this is.\n// More.\n#pragma once\n",
             "/// What this is.\n/// More. \\file\n#pragma once\n"),
            ("a comment directly above a declaration documents it",
             "// F.\n#pragma once\n\n// Adds.\nint Add(int a);\n",
             "/// F. \\file\n#pragma once\n\n/// Adds.\nint Add(int a);\n"),
            ("a comment followed by a blank line is not documentation",
             "// F.\n#pragma once\n\n// A note.\n\nint Add(int a);\n",
             "/// F. \\file\n#pragma once\n\n// A note.\n\nint Add(int a);\n"),
            ("section rules stay, the comment under them documents",
             "// F.\n#pragma once\n\n// ---- Uploads ----\n// Posts.\nint Post();\n",
             "/// F. \\file\n#pragma once\n\n// ---- Uploads ----\n/// Posts.\nint Post();\n"),
            ("a comment above an include or a preprocessor test stays",
             "// F.\n#pragma once\n\n// Why.\n#include \"x.h\"\n// Only here.\n#ifndef _WIN32\n#endif\n",
             "/// F. \\file\n#pragma once\n\n// Why.\n#include \"x.h\"\n// Only here.\n#ifndef _WIN32\n#endif\n"),
            ("a comment above a macro documents it",
             "// F.\n#pragma once\n\n// Unset.\n#define UNSET (-1)\n",
             "/// F. \\file\n#pragma once\n\n/// Unset.\n#define UNSET (-1)\n"),
            ("a comment after code documents that member, aligned lines continue it",
             "// F.\n#pragma once\nstruct S {\n    int a = 0;  // first\n                // and more\n    int b;\n};\n",
             "/// F. \\file\n#pragma once\nstruct S {\n    int a = 0;  ///< first\n                ///< and more\n    int b;\n};\n"),
            ("an unaligned comment after a member comment starts a new one",
             "// F.\n#pragma once\nint a;  // first\n// Second.\nint b;\n",
             "/// F. \\file\n#pragma once\nint a;  ///< first\n/// Second.\nint b;\n"),
            ("comments after braces, closing lines and includes stay",
             "// F.\n#pragma once\n#include <x>  // for X\nnamespace n {  // the n\n}  // namespace n\n",
             "/// F. \\file\n#pragma once\n#include <x>  // for X\nnamespace n {  // the n\n}  // namespace n\n"),
            ("comments inside an inline function body or an initialiser stay",
             "// F.\n#pragma once\ninline int f() {\n    // step\n    return 1;  // one\n}\n"
             "const int k[] = {\n    // first\n    1,  // one\n};\n",
             "/// F. \\file\n#pragma once\ninline int f() {\n    // step\n    return 1;  // one\n}\n"
             "const int k[] = {\n    // first\n    1,  // one\n};\n"),
            ("members of a struct, a class after an access label and an extern C block are documented",
             "// F.\n#pragma once\nclass C {\npublic:\n    // Runs.\n    void Run();\n};\n"
             "extern \"C\" {\n// Calls.\nint Call();\n}\n",
             "/// F. \\file\n#pragma once\nclass C {\npublic:\n    /// Runs.\n    void Run();\n};\n"
             "extern \"C\" {\n/// Calls.\nint Call();\n}\n"),
            ("// inside a string literal is not a comment",
             "// F.\n#pragma once\nconst char* url = \"http://x\";  // where\n",
             "/// F. \\file\n#pragma once\nconst char* url = \"http://x\";  ///< where\n"),
            ("backslashes, @, # and tags are shown as written, code spans stay",
             "// F.\n#pragma once\n// HKLM\\Software @@@ #1 <root> `a\\b`\nint f();\n",
             "/// F. \\file\n#pragma once\n/// HKLM\\\\Software \\@\\@\\@ \\#1 \\<root\\> `a\\b`\nint f();\n"),
            ("one comment above several declarations documents each of them",
             "// F.\n#pragma once\n\n// Opens.\nint Open(int a);\nint Open(const char* a,\n         int b);\n\nint x;\n",
             "/// F. \\file\n#pragma once\n\n/// Opens.\nint Open(int a);\n/** Opens. */ int Open(const char* a,\n"
             "         int b);\n\nint x;\n"),
            ("a declaration of the row with a comment of its own keeps only that",
             "// F.\n#pragma once\n// a, b and c @.\nint a;\nint b;  // the b\nint c;\n",
             "/// F. \\file\n#pragma once\n/// a, b and c \\@.\nint a;\nint b;  ///< the b\n/** a, b and c \\@. */ int c;\n"),
            ("A/W twins share, an unrelated call below does not",
             "// F.\n#pragma once\n// Copies.\nBOOL CopyFileA(LPCSTR a);\nBOOL CopyFileW(LPCWSTR a);\nBOOL DeleteFileA(LPCSTR a);\n",
             "/// F. \\file\n#pragma once\n/// Copies.\nBOOL CopyFileA(LPCSTR a);\n/** Copies. */ BOOL CopyFileW(LPCWSTR a);\n"
             "BOOL DeleteFileA(LPCSTR a);\n"),
            ("aliases named by the comment share it",
             "// F.\n#pragma once\n// Sizes: SIZE_T and DWORD_PTR.\nusing SIZE_T = std::size_t;\nusing DWORD_PTR = std::uintptr_t;\nusing X = int;\n",
             "/// F. \\file\n#pragma once\n/// Sizes: SIZE_T and DWORD_PTR.\nusing SIZE_T = std::size_t;\n"
             "/** Sizes: SIZE_T and DWORD_PTR. */ using DWORD_PTR = std::uintptr_t;\nusing X = int;\n"),
            ("inline bodies in the row end their declaration",
             "// F.\n#pragma once\n// f and g.\ninline int f() {\n    return 1;\n}\ninline int g() { return 2; }\n",
             "/// F. \\file\n#pragma once\n/// f and g.\ninline int f() {\n    return 1;\n}\n"
             "/** f and g. */ inline int g() { return 2; }\n"),
            ("templates in the row are known by the name on their next line",
             "// F.\n#pragma once\n// Put and Take.\ntemplate <typename T>\nvoid Put(T t) {}\ntemplate <typename T>\nvoid Take(T t) {}\n",
             "/// F. \\file\n#pragma once\n/// Put and Take.\ntemplate <typename T>\nvoid Put(T t) {}\n"
             "/** Put and Take. */ template <typename T>\nvoid Take(T t) {}\n"),
            ("a struct below a comment is one declaration, not a group",
             "// F.\n#pragma once\n// A pair.\nstruct P {\n    int a;\n    int b;\n};\n",
             "/// F. \\file\n#pragma once\n/// A pair.\nstruct P {\n    int a;\n    int b;\n};\n"),
            ("a file without an opening comment",
             "#pragma once\n// Adds.\nint Add();\n",
             "#pragma once\n/// Adds.\nint Add();\n"),
        ]
        for name, given, expected in cases:
            with self.subTest(name):
                self.assertEqual(run(given), expected)

    def test_line_count_is_kept(self):
        # Doxygen reports warnings at the filtered text's lines: they must be the header's.
        for header in ["http/http.h", "store/tables/tables.h", "platform/win/types.h", "runtime/log.h"]:
            path = Path(__file__).resolve().parent.parent / header
            if not path.exists():
                continue
            text = path.read_text(encoding="utf-8")
            with self.subTest(header):
                self.assertEqual(run(text).count("\n"), text.count("\n"))


if __name__ == "__main__":
    unittest.main()
