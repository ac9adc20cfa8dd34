// app/compress_option.h: -compress on the command line. Reads its value
// into a codec and a level, words its refusals, and gives the names of the
// files it compresses their suffix.
#ifndef ZERVGEN_SRC_APP_COMPRESS_OPTION_H_
#define ZERVGEN_SRC_APP_COMPRESS_OPTION_H_

#include <cstddef>
#include <string>

#include "base/status.h"
#include "output/compress.h"

namespace zervgen {

// Reads the value of -compress into *out; for a value that names no codec
// or level, InvalidArgument whose what() is the refusal's message (with its
// line end).
// REQUIRES: value != NULL, out != NULL
Status Main_readCompress(const char* value, TextCompression* out);

// Ok when this build has `codec`; else InvalidArgument whose what() is the
// refusal's message, which names the library to build with.
Status Main_compressNotBuilt(TextCodec codec);

// Appends the codec's suffix to the name in the `size` bytes at `fileName`,
// unless it ends with it already or is "-": "-f out.hun" writes
// "out.hun.zst".
// REQUIRES: fileName != NULL
void Main_addCompressSuffix(TextCodec codec, char* fileName, std::size_t size);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_APP_COMPRESS_OPTION_H_
