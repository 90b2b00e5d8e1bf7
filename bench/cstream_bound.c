/* The packer's memory target for `make bench`: libzstd's own estimate of a
   compression stream's memory at a level and thread count, as the packer
   configures it. Host only; prints numbers, decides nothing. */
#define ZSTD_STATIC_LINKING_ONLY
#include <stdio.h>
#include <stdlib.h>
#include <zstd.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: cstream_bound LEVEL THREADS\n");
    return 2;
  }
  int level = atoi(argv[1]), threads = atoi(argv[2]);
  ZSTD_CCtx_params* params = ZSTD_createCCtxParams();
  ZSTD_CCtxParams_setParameter(params, ZSTD_c_compressionLevel, level);
  ZSTD_CCtxParams_setParameter(params, ZSTD_c_nbWorkers, threads);
  size_t estimate = ZSTD_estimateCStreamSize_usingCCtxParams(params);
  int with_threads = !ZSTD_isError(estimate);
  if (!with_threads) {
    ZSTD_CCtxParams_setParameter(params, ZSTD_c_nbWorkers, 0);
    estimate = ZSTD_estimateCStreamSize_usingCCtxParams(params);
  }
  ZSTD_freeCCtxParams(params);
  if (ZSTD_isError(estimate)) {
    fprintf(stderr, "cstream_bound: %s\n", ZSTD_getErrorName(estimate));
    return 1;
  }
  printf("%zu %d\n", estimate, with_threads);
  return 0;
}
