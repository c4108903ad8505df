/* A program built against an installed cbmp: compresses a bitmap and restores it.
 * Usage: consumer <input.bmp> <output.cbmp> <restored.bmp> (ASCII paths) */
#include <cbmp.h>
#include <stdio.h>
#include <string.h>

static void Widen(const char* narrow, cbmp_path_char* wide, size_t capacity) {
    size_t i = 0;
    for (; narrow[i] != '\0' && i + 1 < capacity; ++i) {
        wide[i] = (cbmp_path_char)(unsigned char)narrow[i];
    }
    wide[i] = 0;
}

int main(int argc, char** argv) {
    static cbmp_path_char input[4096], output[4096], restored[4096];
    if (argc != 4 || strlen(argv[1]) >= 4096 || strlen(argv[2]) >= 4096 ||
        strlen(argv[3]) >= 4096) {
        fprintf(stderr, "usage: consumer <input.bmp> <output.cbmp> <restored.bmp>\n");
        return 2;
    }
    Widen(argv[1], input, 4096);
    Widen(argv[2], output, 4096);
    Widen(argv[3], restored, 4096);
    if (BMPCompact(input, output) != 999 || BMPDecompact(output, restored) != 999) {
        return 1;
    }
    return BMPCompact(NULL, output) == 1 ? 0 : 1;
}
