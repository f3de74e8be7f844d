// The order of the moves that rebuild a file in place: every source is read
// before it is overwritten, and only cycles go through a temporary file.

#include "engine/piecemoves.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <numeric>
#include <set>
#include <stdexcept>

namespace orvale::launcher {

namespace {

bool overlaps(std::uint64_t FirstOffset, std::uint64_t FirstSize, std::uint64_t SecondOffset, std::uint64_t SecondSize)
{
  return FirstOffset < SecondOffset + SecondSize && SecondOffset < FirstOffset + FirstSize;
}

// For every move, the other moves whose target overlaps its source: they
// must wait until its source has been read. Two sources are the same range
// or do not overlap, so a source that reaches into a target starts inside
// it or is the last one (with its copies) that starts before it.
std::vector<std::vector<std::size_t>> findWaitingMoves(const std::vector<TPieceMove>& Moves)
{
  std::vector<std::size_t> BySource(Moves.size());
  std::iota(BySource.begin(), BySource.end(), std::size_t(0));
  std::sort(BySource.begin(), BySource.end(),
            [&](std::size_t Left, std::size_t Right) { return Moves[Left].sourceOffset < Moves[Right].sourceOffset; });
  for (std::size_t Position = 1; Position < BySource.size(); ++Position) {
    const TPieceMove& Before = Moves[BySource[Position - 1]];
    const TPieceMove& After = Moves[BySource[Position]];
    const bool Same = Before.sourceOffset == After.sourceOffset && Before.size == After.size;
    if (!Same && Before.sourceOffset + Before.size > After.sourceOffset)
      throw std::invalid_argument("the sources of the moved pieces overlap");
  }

  std::vector<std::vector<std::size_t>> Waiting(Moves.size());
  for (std::size_t Writer = 0; Writer < Moves.size(); ++Writer) {
    const TPieceMove& Target = Moves[Writer];
    auto Reader = std::upper_bound(BySource.begin(), BySource.end(), Target.targetOffset,
                                   [&](std::uint64_t Offset, std::size_t Index) { return Offset < Moves[Index].sourceOffset; });
    if (Reader != BySource.begin()) {
      const std::uint64_t Start = Moves[*std::prev(Reader)].sourceOffset;
      while (Reader != BySource.begin() && Moves[*std::prev(Reader)].sourceOffset == Start)
        --Reader;
    }
    for (; Reader != BySource.end() && Moves[*Reader].sourceOffset < Target.targetOffset + Target.size; ++Reader) {
      const TPieceMove& Source = Moves[*Reader];
      if (*Reader != Writer && overlaps(Source.sourceOffset, Source.size, Target.targetOffset, Target.size))
        Waiting[*Reader].push_back(Writer);
    }
  }
  return Waiting;
}

enum class EMoveState
{
  Pending,
  Saved,
  Done,
};

// Builds the plan in one pass over the moves, keeping for every move how
// many unread sources its target still overlaps.
class TMovePlanner
{
public:
  explicit TMovePlanner(const std::vector<TPieceMove>& Moves)
    : m_Moves(Moves), m_Waiting(findWaitingMoves(Moves)), m_WaitsFor(Moves.size()), m_Blockers(Moves.size(), 0),
      m_State(Moves.size(), EMoveState::Pending), m_SavedAt(Moves.size(), 0)
  {
    for (std::size_t Reader = 0; Reader < Moves.size(); ++Reader) {
      for (std::size_t Writer : m_Waiting[Reader]) {
        ++m_Blockers[Writer];
        m_WaitsFor[Writer].push_back(Reader);
      }
    }
    for (std::size_t Move = 0; Move < Moves.size(); ++Move) {
      if (m_Blockers[Move] == 0)
        m_Ready.push_back(Move);
      if (Moves[Move].targetOffset < Moves[Move].sourceOffset)
        m_PendingLeft.insert({Moves[Move].targetOffset, Move});
      else
        m_PendingRight.insert({Moves[Move].targetOffset, Move});
    }
  }

  TMovePlan plan()
  {
    for (std::size_t Remaining = m_Moves.size(); Remaining > 0;) {
      if (m_Ready.empty()) {
        save(pieceToSave());
        continue;
      }
      const std::size_t Move = m_Ready.front();
      m_Ready.pop_front();
      write(Move);
      --Remaining;
    }
    return std::move(m_Plan);
  }

private:
  using TByTarget = std::set<std::pair<std::uint64_t, std::size_t>>;

  // The source of Move has been read: the moves that waited for it may
  // write over it.
  void releaseSource(std::size_t Move)
  {
    for (std::size_t Writer : m_Waiting[Move]) {
      if (--m_Blockers[Writer] == 0 && m_State[Writer] != EMoveState::Done)
        m_Ready.push_back(Writer);
    }
  }

  void write(std::size_t Move)
  {
    if (m_State[Move] == EMoveState::Saved) {
      m_Plan.steps.push_back({EMoveStep::CopyFromSaved, Move, m_SavedAt[Move]});
      if (--m_SavedPieces == 0)
        m_TemporaryEnd = 0;  // the temporary file is empty again: reuse it from its start
    } else {
      m_Plan.steps.push_back({EMoveStep::Copy, Move, 0});
      releaseSource(Move);
    }
    m_State[Move] = EMoveState::Done;
    m_PendingLeft.erase({m_Moves[Move].targetOffset, Move});
    m_PendingRight.erase({m_Moves[Move].targetOffset, Move});
  }

  void save(std::size_t Move)
  {
    m_SavedAt[Move] = m_TemporaryEnd;
    m_TemporaryEnd += m_Moves[Move].size;
    m_Plan.temporaryBytes = std::max(m_Plan.temporaryBytes, m_TemporaryEnd);
    ++m_SavedPieces;
    m_Plan.steps.push_back({EMoveStep::Save, Move, m_SavedAt[Move]});
    m_State[Move] = EMoveState::Saved;
    releaseSource(Move);
  }

  // Every pending move waits for another one. Moves in one direction never
  // wait for each other the wrong way: of the moves to the left, the one
  // with the lowest target waits only for moves to the right, and of the
  // moves to the right, the one with the highest target only for moves to
  // the left. Saving what keeps one of these two waiting lets it and the
  // moves behind it go on, like memmove in that direction; of the two, the
  // one with fewer bytes to save is chosen, one piece at a time. Such a
  // piece always exists: saved moves have released their sources already.
  std::size_t pieceToSave() const
  {
    std::vector<std::size_t> Heads;
    if (!m_PendingLeft.empty())
      Heads.push_back(m_PendingLeft.begin()->second);
    if (!m_PendingRight.empty())
      Heads.push_back(m_PendingRight.rbegin()->second);
    std::size_t Best = m_Moves.size();
    std::uint64_t BestBytes = 0;
    for (std::size_t Head : Heads) {
      std::uint64_t Bytes = 0;
      std::size_t First = m_Moves.size();
      for (std::size_t Reader : m_WaitsFor[Head]) {
        if (m_State[Reader] != EMoveState::Pending)
          continue;
        Bytes += m_Moves[Reader].size;
        First = std::min(First, Reader);
      }
      if (First != m_Moves.size() && (Best == m_Moves.size() || Bytes < BestBytes)) {
        Best = First;
        BestBytes = Bytes;
      }
    }
    return Best;
  }

  const std::vector<TPieceMove>& m_Moves;
  // For every move, the moves that must wait until its source was read,
  // and the moves whose source it must wait for.
  const std::vector<std::vector<std::size_t>> m_Waiting;
  std::vector<std::vector<std::size_t>> m_WaitsFor;
  std::vector<std::size_t> m_Blockers;
  std::vector<EMoveState> m_State;
  std::vector<std::uint64_t> m_SavedAt;
  std::deque<std::size_t> m_Ready;
  TByTarget m_PendingLeft;   // moves to lower offsets, by target
  TByTarget m_PendingRight;  // moves to higher offsets, by target
  std::uint64_t m_TemporaryEnd = 0;
  std::size_t m_SavedPieces = 0;
  TMovePlan m_Plan;
};

} // namespace

TMovePlan planMoves(const std::vector<TPieceMove>& Moves)
{
  return TMovePlanner(Moves).plan();
}

} // namespace orvale::launcher
