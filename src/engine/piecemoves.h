#pragma once

// Planning the moves of pieces inside one file that is rebuilt in place.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvale::launcher {

// Data of a file that is copied to another offset of the same file when
// the file is rebuilt in place.
struct TPieceMove
{
  std::uint64_t sourceOffset = 0;
  std::uint64_t targetOffset = 0;
  std::uint64_t size = 0;
};

enum class EMoveStep
{
  Copy,           // read the source in the file, write the target
  Save,           // copy the source into the temporary file
  CopyFromSaved,  // write the saved copy to the target
};

struct TMoveStep
{
  EMoveStep kind = EMoveStep::Copy;
  std::size_t move = 0;                // index into the planned moves
  std::uint64_t temporaryOffset = 0;   // Save and CopyFromSaved: where the copy lies in the temporary file
};

struct TMovePlan
{
  std::vector<TMoveStep> steps;
  std::uint64_t temporaryBytes = 0;  // the most the temporary file holds at once
};

// Orders the moves of one file so that every source is read before
// another move writes over it, as memmove does by the direction in which
// data moves: a move runs once no pending move still needs the data at its
// target. Only when every pending move waits for another (the moves form
// a cycle) is one piece saved to the temporary file, which frees its
// source; it is written from there once its own target is free. Targets of
// different moves must not overlap (they are different pieces of the
// rebuilt file), and two sources must be the same range or not overlap
// (pieces of the existing file one after another; std::invalid_argument
// otherwise). A move whose source overlaps its own target is one
// memmove-like copy.
TMovePlan planMoves(const std::vector<TPieceMove>& Moves);

} // namespace orvale::launcher
