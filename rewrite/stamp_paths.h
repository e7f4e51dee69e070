// Which vector path the rewrite core takes.  It takes the widest that this
// build has and the processor can run; the unit test and the fuzzer make it
// take each in turn, so that every path is checked on a machine that could
// run a wider one.  The tool never chooses.
#ifndef AUTHORSTAMP_REWRITE_STAMP_PATHS_H_
#define AUTHORSTAMP_REWRITE_STAMP_PATHS_H_

#include <vector>

namespace stamp {

enum class VectorPath {
  kScalar,  // no vector code: the scalar build and processors other than x86
            // take it; every build has it
  kSse2,    // 16-byte vectors, which every x86-64 processor has
  kAvx2,    // 32-byte vectors, where the processor has AVX2
};

/// The paths that this build can take on this processor, the widest last.
std::vector<VectorPath> VectorPaths();

/// Makes every later rewrite take |path|.  False, and nothing changed, when
/// |path| is not one of VectorPaths().
bool UseVectorPath(VectorPath path);

}  // namespace stamp

#endif  // AUTHORSTAMP_REWRITE_STAMP_PATHS_H_
