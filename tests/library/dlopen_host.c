/*
 * Loads libcbmp with dlopen, as a C application would, and runs both entry points on real files:
 * file names in several scripts, a path longer than 300 bytes, null paths, missing and invalid
 * inputs and an output that cannot be created. The library's files are compared with those of
 * the command-line tool, and its console lines are captured and compared.
 *
 * Usage: dlopen_host <libcbmp.so> <cbmp executable> <scratch directory>
 */
#define _POSIX_C_SOURCE 200809L

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <uchar.h>
#include <unistd.h>

typedef int (*EntryPoint)(const char16_t*, const char16_t*);

static int failures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

/* ---- files ---- */

typedef struct {
    unsigned char* data;
    size_t size;
} Bytes;

static Bytes ReadAll(const char* path) {
    Bytes bytes = {NULL, 0};
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        return bytes;
    }
    size_t capacity = 4096;
    bytes.data = malloc(capacity);
    size_t got;
    while (bytes.data != NULL &&
           (got = fread(bytes.data + bytes.size, 1, capacity - bytes.size, file)) > 0) {
        bytes.size += got;
        if (bytes.size == capacity) {
            capacity *= 2;
            unsigned char* grown = realloc(bytes.data, capacity);
            if (grown == NULL) {
                free(bytes.data);
                bytes.data = NULL;
                bytes.size = 0;
            }
            bytes.data = grown;
        }
    }
    fclose(file);
    return bytes;
}

static int SameFiles(const char* a, const char* b) {
    Bytes x = ReadAll(a);
    Bytes y = ReadAll(b);
    int same =
        x.data != NULL && y.data != NULL && x.size == y.size && memcmp(x.data, y.data, x.size) == 0;
    free(x.data);
    free(y.data);
    return same;
}

static int Exists(const char* path) {
    return access(path, F_OK) == 0;
}

static void PutLe(unsigned char* at, unsigned value, int width) {
    for (int i = 0; i < width; ++i) {
        at[i] = (unsigned char)(value >> (8 * i));
    }
}

/* A bottom-up BMP with a 40-byte info header: 24-bit without a palette, or 8-bit with a full
 * 256-entry palette. The pixels mix a smooth gradient with noise so that both literals and
 * matches occur. */
static int WriteBmp(const char* path, int width, int height, int bitCount, unsigned seed) {
    const unsigned paletteSize = bitCount == 8 ? 1024u : 0u;
    const unsigned rowSize = (unsigned)((width * bitCount / 8 + 3) / 4 * 4);
    const unsigned pixelSize = rowSize * (unsigned)height;
    const unsigned fileSize = 54 + paletteSize + pixelSize;
    unsigned char* file = calloc(fileSize, 1);
    if (file == NULL) {
        return 0;
    }
    file[0] = 'B';
    file[1] = 'M';
    PutLe(file + 2, fileSize, 4);
    PutLe(file + 10, 54 + paletteSize, 4);
    PutLe(file + 14, 40, 4);
    PutLe(file + 18, (unsigned)width, 4);
    PutLe(file + 22, (unsigned)height, 4);
    PutLe(file + 26, 1, 2);
    PutLe(file + 28, (unsigned)bitCount, 2);
    PutLe(file + 34, pixelSize, 4);
    PutLe(file + 38, 2835, 4);
    PutLe(file + 42, 2835, 4);
    for (unsigned i = 0; i < paletteSize; ++i) {
        file[54 + i] = (unsigned char)(i % 4 == 3 ? 0 : (i * 7 + seed) & 0xFF);
    }
    unsigned state = seed * 2654435761u + 1;
    for (unsigned i = 0; i < pixelSize; ++i) {
        state = state * 1103515245u + 12345u;
        const unsigned noise = (state >> 16) & 0x0F;
        file[54 + paletteSize + i] =
            (unsigned char)((i / 3 + (i % rowSize) / 5 + noise / 8) & 0xFF);
    }
    FILE* out = fopen(path, "wb");
    int ok = out != NULL && fwrite(file, 1, fileSize, out) == fileSize;
    if (out != NULL && fclose(out) != 0) {
        ok = 0;
    }
    free(file);
    return ok;
}

/* ---- paths ---- */

/* A UTF-16 path: the ASCII directory `dir`, a slash, then `name`. */
static char16_t* WidePath(const char* dir, const char16_t* name) {
    size_t dirLength = strlen(dir);
    size_t nameLength = 0;
    while (name[nameLength] != 0) {
        ++nameLength;
    }
    char16_t* path = malloc((dirLength + 1 + nameLength + 1) * sizeof(char16_t));
    if (path == NULL) {
        abort();
    }
    for (size_t i = 0; i < dirLength; ++i) {
        path[i] = (char16_t)(unsigned char)dir[i];
    }
    path[dirLength] = u'/';
    memcpy(path + dirLength + 1, name, (nameLength + 1) * sizeof(char16_t));
    return path;
}

static char* NarrowPath(const char* dir, const char* name) {
    char* path = malloc(strlen(dir) + 1 + strlen(name) + 1);
    if (path == NULL) {
        abort();
    }
    sprintf(path, "%s/%s", dir, name);
    return path;
}

/* ---- console capture ---- */

typedef struct {
    char* out;
    char* err;
} Console;

static char captureOut[4096];
static char captureErr[4096];
static int savedOut = -1;
static int savedErr = -1;

static void CaptureBegin(void) {
    fflush(stdout);
    fflush(stderr);
    savedOut = dup(1);
    savedErr = dup(2);
    int out = open(captureOut, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(captureErr, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (savedOut < 0 || savedErr < 0 || out < 0 || err < 0) {
        abort();
    }
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
}

static char* AsText(Bytes bytes) {
    char* text = malloc(bytes.size + 1);
    if (text == NULL) {
        abort();
    }
    if (bytes.size > 0) {
        memcpy(text, bytes.data, bytes.size);
    }
    text[bytes.size] = '\0';
    free(bytes.data);
    return text;
}

static Console CaptureEnd(void) {
    fflush(stdout);
    fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    Console console = {AsText(ReadAll(captureOut)), AsText(ReadAll(captureErr))};
    return console;
}

static void FreeConsole(Console console) {
    free(console.out);
    free(console.err);
}

static int StartsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

static int EndsWith(const char* text, const char* suffix) {
    size_t a = strlen(text);
    size_t b = strlen(suffix);
    return a >= b && strcmp(text + a - b, suffix) == 0;
}

/* ---- the library and the command-line tool ---- */

static EntryPoint compact;
static EntryPoint decompact;
static const char* tool;

static int RunTool(const char* mode, const char* input, const char* output) {
    char* command = malloc(strlen(tool) + strlen(input) + strlen(output) + 64);
    if (command == NULL) {
        abort();
    }
    sprintf(command, "'%s' %s '%s' '%s' >/dev/null 2>&1", tool, mode, input, output);
    int status = system(command);
    free(command);
    return status;
}

/* Compresses and restores the bitmap `stem`.bmp in `dir` through the library, given as the
 * UTF-16 name `wideStem`, and checks every file and line against the command-line tool. */
static void RoundTrip(const char* dir, const char* stem, const char16_t* wideStem, int bitCount) {
    char bmpName[1024], cbmpName[1024], backName[1024], toolName[1024], toolBackName[1024];
    char16_t wideBmp[512], wideCbmp[512], wideBack[512];
    snprintf(bmpName, sizeof bmpName, "%s.bmp", stem);
    snprintf(cbmpName, sizeof cbmpName, "%s.cbmp", stem);
    snprintf(backName, sizeof backName, "%s.back.bmp", stem);
    snprintf(toolName, sizeof toolName, "%s.tool.cbmp", stem);
    snprintf(toolBackName, sizeof toolBackName, "%s.tool.bmp", stem);
    size_t n = 0;
    while (wideStem[n] != 0) {
        ++n;
    }
    const char16_t* suffixes[3] = {u".bmp", u".cbmp", u".back.bmp"};
    char16_t* wides[3] = {wideBmp, wideCbmp, wideBack};
    for (int k = 0; k < 3; ++k) {
        memcpy(wides[k], wideStem, n * sizeof(char16_t));
        size_t s = 0;
        do {
            wides[k][n + s] = suffixes[k][s];
        } while (suffixes[k][s++] != 0);
    }

    char* bmp = NarrowPath(dir, bmpName);
    char* cbmp = NarrowPath(dir, cbmpName);
    char* back = NarrowPath(dir, backName);
    char* toolCbmp = NarrowPath(dir, toolName);
    char* toolBack = NarrowPath(dir, toolBackName);
    char16_t* wBmp = WidePath(dir, wideBmp);
    char16_t* wCbmp = WidePath(dir, wideCbmp);
    char16_t* wBack = WidePath(dir, wideBack);

    CHECK(WriteBmp(bmp, 45, 31, bitCount, (unsigned)strlen(stem)));

    CaptureBegin();
    int result = compact(wBmp, wCbmp);
    Console console = CaptureEnd();
    CHECK(result == 999);
    char expected[2048];
    snprintf(expected, sizeof expected, "Compressing: %s -> %s\n", bmp, cbmp);
    CHECK(StartsWith(console.out, expected));
    CHECK(EndsWith(console.out, "Compression successful!\n"));
    CHECK(strcmp(console.err, "") == 0);
    FreeConsole(console);

    CHECK(RunTool("-c", bmp, toolCbmp) == 0);
    CHECK(SameFiles(cbmp, toolCbmp));

    CaptureBegin();
    result = decompact(wCbmp, wBack);
    console = CaptureEnd();
    CHECK(result == 999);
    CHECK(StartsWith(console.out, "Decompressing ")); /* the decoder's line, no opening line */
    snprintf(expected, sizeof expected, "Decompressed file: %s\n", cbmp);
    CHECK(strstr(console.out, expected) != NULL);
    CHECK(EndsWith(console.out, "Decompression successful!\n"));
    CHECK(strcmp(console.err, "") == 0);
    FreeConsole(console);
    CHECK(SameFiles(bmp, back));
    CHECK(RunTool("-d", cbmp, toolBack) == 0);
    CHECK(SameFiles(back, toolBack));

    free(bmp);
    free(cbmp);
    free(back);
    free(toolCbmp);
    free(toolBack);
    free(wBmp);
    free(wCbmp);
    free(wBack);
}

/* Runs `entry` on the two paths and checks the result and both console streams exactly. */
static void ExpectConsole(EntryPoint entry, const char16_t* input, const char16_t* output,
                          int expectedResult, const char* expectedOut, const char* expectedErr) {
    CaptureBegin();
    int result = entry(input, output);
    Console console = CaptureEnd();
    CHECK(result == expectedResult);
    CHECK(strcmp(console.out, expectedOut) == 0);
    CHECK(strcmp(console.err, expectedErr) == 0);
    if (strcmp(console.err, expectedErr) != 0) {
        fprintf(stderr, "standard error was:\n%s", console.err);
    }
    FreeConsole(console);
}

static void Failures(const char* dir) {
    char expectedOut[1024], expectedErr[1024];
    char* bmp = NarrowPath(dir, "plain.bmp");
    char* missing = NarrowPath(dir, "missing.bmp");
    char* unwritable = NarrowPath(dir, "no-such-directory/out.cbmp");
    char* notCbmpOut = NarrowPath(dir, "from-bmp.bmp");
    char16_t* wBmp = WidePath(dir, u"plain.bmp");
    char16_t* wMissing = WidePath(dir, u"missing.bmp");
    char16_t* wUnwritable = WidePath(dir, u"no-such-directory/out.cbmp");
    char16_t* wNotCbmpOut = WidePath(dir, u"from-bmp.bmp");
    char16_t* wOut = WidePath(dir, u"null-case.cbmp");

    /* A null path refuses the call before anything else. */
    ExpectConsole(compact, NULL, wOut, 1, "", "Error: Invalid path\n");
    ExpectConsole(compact, wBmp, NULL, 1, "", "Error: Invalid path\n");
    ExpectConsole(decompact, NULL, wOut, 1, "", "Error: Invalid path\n");
    ExpectConsole(decompact, wBmp, NULL, 1, "", "Error: Invalid path\n");

    /* A missing input: the operation does not start. */
    snprintf(expectedOut, sizeof expectedOut, "Compressing: %s -> %s\n", missing, unwritable);
    snprintf(expectedErr, sizeof expectedErr,
             "Error: Cannot open file %s\nError: Failed to read BMP file\n", missing);
    ExpectConsole(compact, wMissing, wUnwritable, 1, expectedOut, expectedErr);

    /* An output that cannot be created: the operation ran. */
    CaptureBegin();
    int result = compact(wBmp, wUnwritable);
    Console console = CaptureEnd();
    CHECK(result == 999);
    snprintf(expectedErr, sizeof expectedErr,
             "Error: Cannot create file %s\nError: Compression failed\n", unwritable);
    CHECK(strcmp(console.err, expectedErr) == 0);
    CHECK(!EndsWith(console.out, "Compression successful!\n"));
    FreeConsole(console);

    /* A file that is not CBMP: the operation ran, nothing is written, no opening line. */
    ExpectConsole(decompact, wBmp, wNotCbmpOut, 999, "",
                  "Error: Not a valid CBMP file\nError: Decompression failed\n");
    CHECK(!Exists(notCbmpOut));

    /* A missing CBMP input also counts as an operation that ran. */
    snprintf(expectedErr, sizeof expectedErr,
             "Error: Cannot open file %s\nError: Decompression failed\n", missing);
    ExpectConsole(decompact, wMissing, wNotCbmpOut, 999, "", expectedErr);

    free(bmp);
    free(missing);
    free(unwritable);
    free(notCbmpOut);
    free(wBmp);
    free(wMissing);
    free(wUnwritable);
    free(wNotCbmpOut);
    free(wOut);
}

/* A path of more than 300 bytes, mostly non-ASCII: 60 Cyrillic letters (120 bytes) as a
 * directory and 70 CJK characters (210 bytes) as the file stem. */
static void LongPath(const char* dir) {
    char sub[1024], stem[1024];
    char16_t wideSub[256], wideStem[256];
    size_t at = 0;
    for (int i = 0; i < 60; ++i) {
        memcpy(sub + at, "ж", 2); /* U+0436 */
        at += 2;
        wideSub[i] = 0x0436;
    }
    sub[at] = '\0';
    wideSub[60] = 0;
    at = 0;
    for (int i = 0; i < 70; ++i) {
        memcpy(stem + at, "漢", 3); /* U+6F22 */
        at += 3;
        wideStem[i] = 0x6F22;
    }
    stem[at] = '\0';
    wideStem[70] = 0;

    char* subdir = NarrowPath(dir, sub);
    CHECK(mkdir(subdir, 0755) == 0);
    /* The stem as seen from `dir`: the UTF-16 subdirectory, a slash and the UTF-16 stem. */
    char16_t wideRelative[512];
    memcpy(wideRelative, wideSub, 60 * sizeof(char16_t));
    wideRelative[60] = u'/';
    memcpy(wideRelative + 61, wideStem, 71 * sizeof(char16_t));
    char relative[2048];
    snprintf(relative, sizeof relative, "%s/%s", sub, stem);
    CHECK(strlen(dir) + strlen(relative) > 300);
    RoundTrip(dir, relative, wideRelative, 24);
    free(subdir);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s <libcbmp.so> <cbmp executable> <scratch directory>\n", argv[0]);
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "dlopen failed: %s\n", dlerror());
        return 1;
    }
    /* POSIX lets a data pointer carry a function's address; copy it into the function pointer. */
    void* symbol = dlsym(library, "BMPCompact");
    CHECK(symbol != NULL);
    memcpy(&compact, &symbol, sizeof symbol);
    symbol = dlsym(library, "BMPDecompact");
    CHECK(symbol != NULL);
    memcpy(&decompact, &symbol, sizeof symbol);
    if (compact == NULL || decompact == NULL) {
        return 1;
    }
    tool = argv[2];

    char dir[1024];
    snprintf(dir, sizeof dir, "%s/dlopen-XXXXXX", argv[3]);
    if (mkdir(argv[3], 0755) != 0 && errno != EEXIST) {
        perror(argv[3]);
        return 1;
    }
    if (mkdtemp(dir) == NULL) {
        perror(dir);
        return 1;
    }
    snprintf(captureOut, sizeof captureOut, "%s/stdout.txt", dir);
    snprintf(captureErr, sizeof captureErr, "%s/stderr.txt", dir);

    RoundTrip(dir, "plain", u"plain", 24);
    RoundTrip(dir, "palette", u"palette", 8);
    RoundTrip(dir, "изображение", u"изображение", 24);
    RoundTrip(dir, "画像ファイル", u"画像ファイル", 8);
    RoundTrip(dir, "smile😀", u"smile\U0001F600", 24);
    char* emoji = NarrowPath(dir, "smile\xF0\x9F\x98\x80.cbmp");
    CHECK(Exists(emoji)); /* the surrogate pair became one 4-byte UTF-8 character */
    free(emoji);
    LongPath(dir);
    Failures(dir);

    dlclose(library);
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed; files kept in %s\n", failures, dir);
        return 1;
    }
    char command[1200];
    snprintf(command, sizeof command, "rm -rf '%s'", dir);
    if (system(command) != 0) {
        fprintf(stderr, "could not remove %s\n", dir);
    }
    printf("all checks passed\n");
    return 0;
}
