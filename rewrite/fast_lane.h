// The fast lane of the rewrite core, and the scan for the next place where
// the line-by-line rewrite has to look, on each vector path.  A rewrite
// takes one path, chosen once at its start: the rewrite itself holds no
// vector code and asks nothing of the processor.
#ifndef AUTHORSTAMP_REWRITE_FAST_LANE_H_
#define AUTHORSTAMP_REWRITE_FAST_LANE_H_

#include "rewrite/output.h"
#include "rewrite/stamp_paths.h"
#include "rewrite/units.h"

namespace stamp {

// What a vector path does for the rewrite of text made of |Units|.
template <class Units>
struct Lane {
  using Unit = typename Units::Unit;

  // Copies whole lines from |p|, where a line may begin, to |out| while
  // they hold no tag and enough input is left, and returns where it
  // stopped.  |*line_start| moves to the start of the last line begun;
  // |cr_before| says whether the unit before |p| is a CR.
  const Unit* (*skim)(Output& out, const Unit* p, const Unit* end,
                      const Unit** line_start, bool cr_before);

  // The first unit in [p, end) where the scan has to stop and look: an LF,
  // or a place where the author tag may begin.  |end| when there is none.
  const Unit* (*next_stop)(const Unit* p, const Unit* end);
};

// The lane of |path|, one of VectorPaths(), for Bytes and both Utf16.
template <class Units>
Lane<Units> LaneOf(VectorPath path);

// The path that UseVectorPath() chose last; at first the widest.
VectorPath ChosenPath();

}  // namespace stamp

#endif  // AUTHORSTAMP_REWRITE_FAST_LANE_H_
