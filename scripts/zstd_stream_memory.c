/* Decodes one zstd frame from standard input through a decompression stream
   and prints the bytes the stream holds afterwards. install-deps.sh builds it
   against the host's library and against a fetched source to compare them. */
#define ZSTD_STATIC_LINKING_ONLY
#include <stdio.h>
#include <zstd.h>

int main(void) {
  static char input[1 << 20], output[4096];
  size_t size = fread(input, 1, sizeof input, stdin);
  ZSTD_DStream* stream = ZSTD_createDStream();
  ZSTD_inBuffer in = {input, size, 0};
  while (in.pos < in.size) {
    ZSTD_outBuffer out = {output, sizeof output, 0};
    if (stream == NULL || ZSTD_isError(ZSTD_decompressStream(stream, &out, &in))) return 1;
  }
  printf("%zu\n", ZSTD_sizeof_DStream(stream));
  ZSTD_freeDStream(stream);
  return 0;
}
