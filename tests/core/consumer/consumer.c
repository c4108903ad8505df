/* An application of the installed core library: compresses a BMP file in memory, reads the
 * header, decompresses and writes the result, and checks that the bitmap came back whole.
 * Then does the same between files. Usage: consumer <in.bmp> <scratch.cbmp> <out.bmp> */
#include <cbmpcore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned char* read_file(const char* path, size_t* size) {
    FILE* file = fopen(path, "rb");
    unsigned char* bytes = NULL;
    long length;
    if (file == NULL) {
        return NULL;
    }
    if (fseek(file, 0, SEEK_END) == 0 && (length = ftell(file)) > 0 &&
        fseek(file, 0, SEEK_SET) == 0) {
        bytes = malloc((size_t)length);
        if (bytes != NULL && fread(bytes, 1, (size_t)length, file) != (size_t)length) {
            free(bytes);
            bytes = NULL;
        }
        *size = (size_t)length;
    }
    fclose(file);
    return bytes;
}

static void count(void* context, uint32_t done, uint32_t total) {
    (void)done;
    (void)total;
    ++*(unsigned*)context;
}

int main(int argc, char** argv) {
    size_t bmp_size = 0, cbmp_size = 0, back_size = 0;
    uint8_t *cbmp = NULL, *back = NULL;
    unsigned calls = 0;
    cbmpcore_options options;
    cbmpcore_info info;
    cbmpcore_result result;
    unsigned char* bmp;
    int ok;
    if (argc != 4 || (bmp = read_file(argv[1], &bmp_size)) == NULL) {
        fprintf(stderr, "usage: consumer <in.bmp> <scratch.cbmp> <out.bmp>\n");
        return 2;
    }
    memset(&options, 0, sizeof options);
    options.progress = count;
    options.progress_context = &calls;
    result = cbmpcore_compress(bmp, bmp_size, &cbmp, &cbmp_size, &options);
    if (result != CBMPCORE_OK) {
        fprintf(stderr, "compress: %s\n", cbmpcore_result_text(result));
        free(bmp);
        return 1;
    }
    result = cbmpcore_read_info(cbmp, cbmp_size, &info);
    if (result == CBMPCORE_OK) {
        result = cbmpcore_decompress(cbmp, cbmp_size, &back, &back_size, NULL);
    }
    ok = result == CBMPCORE_OK && info.bmp_size == back_size && back_size == bmp_size &&
         memcmp(back, bmp, bmp_size) == 0 && calls >= 2;
    printf("cbmpcore %s: %dx%d, %u bits, %u -> %u bytes\n", cbmpcore_version(), (int)info.width,
           (int)info.height, (unsigned)info.bit_count, (unsigned)info.original_size,
           (unsigned)info.compressed_size);
    if (ok) {
        result = cbmpcore_compress_file(argv[1], argv[2], NULL);
        if (result == CBMPCORE_OK) {
            result = cbmpcore_decompress_file(argv[2], argv[3], NULL);
        }
        ok = result == CBMPCORE_OK;
    }
    if (!ok) {
        fprintf(stderr, "round trip failed: %s\n", cbmpcore_result_text(result));
    }
    cbmpcore_free(back);
    cbmpcore_free(cbmp);
    free(bmp);
    return ok ? 0 : 1;
}
