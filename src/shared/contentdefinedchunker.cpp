#include "shared/contentdefinedchunker.h"

#include "shared/sha256.h"

#include <QIODevice>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace shared {

const std::uint32_t ChunkingTable[256] = {
  0x5C95C078, 0x22408989, 0x2D48A214, 0x12842087, 0x530F8AFB, 0x474536B9, 0x2963B4F1, 0x44CB738B,
  0x4EA7403D, 0x4D606B6E, 0x074EC5D3, 0x3AF39D18, 0x726003CA, 0x37A62A74, 0x51A2F58E, 0x7506358E,
  0x5D4AB128, 0x4D4AE17B, 0x41E85924, 0x470C36F7, 0x4741CBE1, 0x01BB7F30, 0x617C1DE3, 0x2B0C3A1F,
  0x50C48F73, 0x21A82D37, 0x6095ACE0, 0x419167A0, 0x3CAF49B0, 0x40CEA62D, 0x66BC1C66, 0x545E1DAD,
  0x2BFA77CD, 0x6E85DA24, 0x5FB0BDC5, 0x652CFC29, 0x3A0AE1AB, 0x2837E0F3, 0x6387B70E, 0x13176012,
  0x4362C2BB, 0x66D8F4B1, 0x37FCE834, 0x2C9CD386, 0x21144296, 0x627268A8, 0x650DF537, 0x2805D579,
  0x3B21EBBD, 0x7357ED34, 0x3F58B583, 0x7150DDCA, 0x7362225E, 0x620A6070, 0x2C5EF529, 0x7B522466,
  0x768B78C0, 0x4B54E51E, 0x75FA07E5, 0x06A35FC6, 0x30B71024, 0x1C8626E1, 0x296AD578, 0x28D7BE2E,
  0x1490A05A, 0x7CEE43BD, 0x698B56E3, 0x09DC0126, 0x4ED6DF6E, 0x02C1BFC7, 0x2A59AD53, 0x29C0E434,
  0x7D6C5278, 0x507940A7, 0x5EF6BA93, 0x68B6AF1E, 0x46537276, 0x611BC766, 0x155C587D, 0x301BA847,
  0x2CC9DDA7, 0x0A438E2C, 0x0A69D514, 0x744C72D3, 0x4F326B9B, 0x7EF34286, 0x4A0EF8A7, 0x6AE06EBE,
  0x669C5372, 0x12402DCB, 0x5FEAE99D, 0x76C7F4A7, 0x6ABDB79C, 0x0DFAA038, 0x20E2282C, 0x730ED48B,
  0x069DAC2F, 0x168ECF3E, 0x2610E61F, 0x2C512C8E, 0x15FB8C06, 0x5E62BC76, 0x69555135, 0x0ADB864C,
  0x4268F914, 0x349AB3AA, 0x20EDFDB2, 0x51727981, 0x37B4B3D8, 0x5DD17522, 0x6B2CBFE4, 0x5C47CF9F,
  0x30FA1CCD, 0x23DEDB56, 0x13D1F50A, 0x64EDDEE7, 0x0820B0F7, 0x46E07308, 0x1E2D1DFD, 0x17B06C32,
  0x250036D8, 0x284DBF34, 0x68292EE0, 0x362EC87C, 0x087CB1EB, 0x76B46720, 0x104130DB, 0x71966387,
  0x482DC43F, 0x2388EF25, 0x524144E1, 0x44BD834E, 0x448E7DA3, 0x3FA6EAF9, 0x3CDA215C, 0x3A500CF3,
  0x395CB432, 0x5195129F, 0x43945F87, 0x51862CA4, 0x56EA8FF1, 0x201034DC, 0x4D328FF5, 0x7D73A909,
  0x6234D379, 0x64CFBF9C, 0x36F6589A, 0x0A2CE98A, 0x5FE4D971, 0x03BC15C5, 0x44021D33, 0x16C1932B,
  0x37503614, 0x1ACAF69D, 0x3F03B779, 0x49E61A03, 0x1F52D7EA, 0x1C6DDD5C, 0x062218CE, 0x07E7A11A,
  0x1905757A, 0x7CE00A53, 0x49F44F29, 0x4BCC70B5, 0x39FEEA55, 0x5242CEE8, 0x3CE56B85, 0x00B81672,
  0x46BEECCC, 0x3CA0AD56, 0x2396CEE8, 0x78547F40, 0x6B08089B, 0x66A56751, 0x781E7E46, 0x1E2CF856,
  0x3BC13591, 0x494A4202, 0x520494D7, 0x2D87459A, 0x757555B6, 0x42284CC1, 0x1F478507, 0x75C95DFF,
  0x35FF8DD7, 0x4E4757ED, 0x2E11F88C, 0x5E1B5048, 0x420E6699, 0x226B0695, 0x4D1679B4, 0x5A22646F,
  0x161D1131, 0x125C68D9, 0x1313E32E, 0x4AA85724, 0x21DC7EC1, 0x4FFA29FE, 0x72968382, 0x1CA8EEF3,
  0x3F3B1C28, 0x39C2FB6C, 0x6D76493F, 0x7A22A62E, 0x789B1C2A, 0x16E0CB53, 0x7DECEEEB, 0x0DC7E1C6,
  0x5C75BF3D, 0x52218333, 0x106DE4D6, 0x7DC64422, 0x65590FF4, 0x2C02EC30, 0x64A9AC67, 0x59CAB2E9,
  0x4A21D2F3, 0x0F616E57, 0x23B54EE8, 0x02730AAA, 0x2F3C634D, 0x7117FC6C, 0x01AC6F05, 0x5A9ED20C,
  0x158C4E2A, 0x42B699F0, 0x0C7C14B3, 0x02BD9641, 0x15AD56FC, 0x1C722F60, 0x7DA1AF91, 0x23E0DBCB,
  0x0E93E12B, 0x64B2791D, 0x440D2476, 0x588EA8DD, 0x4665A658, 0x7446C418, 0x1877A774, 0x5626407E,
  0x7F63BD46, 0x32D2DBD8, 0x3C790F4A, 0x772B7239, 0x6F8B2826, 0x677FF609, 0x0DC82C11, 0x23FFE354,
  0x2EAC53A6, 0x16139E09, 0x0AFD0DBC, 0x2A4D4237, 0x56A368C7, 0x234325E4, 0x2DCE9187, 0x32E8EA7E,};

std::size_t nextPieceLength(const std::uint8_t* Data, std::size_t Available)
{
  if (Available <= ChunkingMinimumPiece)
    return Available;
  const std::size_t Limit = std::min(Available, ChunkingMaximumPiece);
  // Every table value is below 2^31, so the rule's g stays below 2^32 and
  // never wraps; after the bytes t1..tk (table values) g has become
  // floor((g + 2 t1 + 4 t2 + ... + 2^k tk) / 2^k), and its low bits are
  // zero after byte j exactly when bits j and up of g + 2 t1 + ... + 2^j tj
  // are. Four bytes at a time this way, g waits for one addition and one
  // shift instead of four of each; the sums for the single bytes are
  // worked out beside it.
  constexpr std::uint64_t Mask = ChunkingMask;
  std::uint64_t Rolling = 0;
  std::size_t Position = ChunkingMinimumPiece;
  for (; Position + 4 <= Limit; Position += 4) {
    const std::uint64_t Sum1 = std::uint64_t(ChunkingTable[Data[Position]]) << 1;
    const std::uint64_t Sum2 = Sum1 + (std::uint64_t(ChunkingTable[Data[Position + 1]]) << 2);
    const std::uint64_t Sum3 = Sum2 + (std::uint64_t(ChunkingTable[Data[Position + 2]]) << 3);
    const std::uint64_t Sum4 = Sum3 + (std::uint64_t(ChunkingTable[Data[Position + 3]]) << 4);
    if (((Rolling + Sum1) & (Mask << 1)) == 0)
      return Position + 1;
    if (((Rolling + Sum2) & (Mask << 2)) == 0)
      return Position + 2;
    if (((Rolling + Sum3) & (Mask << 3)) == 0)
      return Position + 3;
    if (((Rolling + Sum4) & (Mask << 4)) == 0)
      return Position + 4;
    Rolling = (Rolling + Sum4) >> 4;
  }
  for (; Position < Limit; ++Position) {
    Rolling = (Rolling >> 1) + ChunkingTable[Data[Position]];
    if ((Rolling & Mask) == 0)
      return Position + 1;
  }
  return Limit;
}

namespace {

// Memory of capacity() bytes mapped twice in a row, so that up to
// capacity() bytes from any offset below capacity() lie contiguously: a
// ring buffer in it hands out every piece as one block, also where the
// piece wraps around the ring's end.
class TMirroredMemory
{
public:
  explicit TMirroredMemory(std::size_t MinimumCapacity)
  {
    const std::size_t Page = std::size_t(sysconf(_SC_PAGESIZE));
    m_Capacity = (std::max<std::size_t>(MinimumCapacity, 1) + Page - 1) / Page * Page;
    const int Descriptor = memfd_create("ashgrove-chunking", MFD_CLOEXEC);
    if (Descriptor < 0)
      throw std::system_error(errno, std::generic_category(), "memfd_create");
    void* Base = MAP_FAILED;
    if (ftruncate(Descriptor, off_t(m_Capacity)) == 0)
      Base = mmap(nullptr, 2 * m_Capacity, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    bool Mapped = Base != MAP_FAILED;
    for (std::size_t Half = 0; Mapped && Half < 2; ++Half) {
      Mapped = mmap(static_cast<char*>(Base) + Half * m_Capacity, m_Capacity, PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_FIXED, Descriptor, 0) != MAP_FAILED;
    }
    const int Error = errno;
    close(Descriptor);
    if (!Mapped) {
      if (Base != MAP_FAILED)
        munmap(Base, 2 * m_Capacity);
      throw std::system_error(Error, std::generic_category(), "mapping the chunking buffer");
    }
    m_Base = static_cast<std::uint8_t*>(Base);
  }
  ~TMirroredMemory() { munmap(m_Base, 2 * m_Capacity); }
  TMirroredMemory(const TMirroredMemory&) = delete;
  TMirroredMemory& operator=(const TMirroredMemory&) = delete;

  std::size_t capacity() const { return m_Capacity; }
  std::uint8_t* at(std::uint64_t Position) const { return m_Base + Position % m_Capacity; }

private:
  std::uint8_t* m_Base = nullptr;
  std::size_t m_Capacity = 0;
};

struct TPiece
{
  std::uint64_t position = 0;  // bytes read before the piece
  const std::uint8_t* data = nullptr;
  std::size_t length = 0;       // 0: the device is exhausted
};

// Reads a device into a ring and cuts it into pieces. Positions count the
// bytes read from the device; the ring keeps what was read from a release
// position on (the start of the first piece still in use), so reading
// waits for room when the pieces in use fill it.
class TPieceReader
{
public:
  TPieceReader(QIODevice& Device, const TMirroredMemory& Memory) : m_Device(Device), m_Memory(Memory) {}

  // The kept maximum piece and one read behind it; a file smaller than
  // that needs no more than its own size.
  static std::size_t capacityFor(const QIODevice& Device, std::size_t ReadSize)
  {
    const std::size_t Capacity = ChunkingMaximumPiece + ReadSize;
    const qint64 Remaining = Device.isSequential() ? -1 : Device.size() - Device.pos();
    if (Remaining >= 0 && std::uint64_t(Remaining) < Capacity)
      return std::size_t(Remaining) + 1;
    return Capacity;
  }

  // Whether the next cut needs more data: the rule cuts a piece only with
  // ChunkingMaximumPiece bytes available, or all that is left. A ring made
  // for a smaller file (that has grown since) cuts once it is full.
  bool wantsData() const
  {
    return !m_EndOfData && m_Read - m_Cut < std::min<std::uint64_t>(ChunkingMaximumPiece, m_Memory.capacity());
  }
  std::uint64_t room(std::uint64_t Released) const { return m_Memory.capacity() - (m_Read - Released); }
  std::uint64_t cutPosition() const { return m_Cut; }
  bool failed() const { return m_Failed; }

  // Reads once into the room behind what was read, keeping the bytes from
  // Released on.
  void read(std::uint64_t Released)
  {
    const qint64 Read = m_Device.read(reinterpret_cast<char*>(m_Memory.at(m_Read)), qint64(room(Released)));
    if (Read < 0) {
      m_Failed = true;
      m_EndOfData = true;
    } else if (Read == 0) {
      m_EndOfData = true;
    } else {
      m_Read += std::uint64_t(Read);
    }
  }

  // The next piece (wantsData() must be false).
  TPiece cut()
  {
    TPiece Piece{m_Cut, m_Memory.at(m_Cut), 0};
    Piece.length = nextPieceLength(Piece.data, std::size_t(m_Read - m_Cut));
    m_Cut += Piece.length;
    return Piece;
  }

private:
  QIODevice& m_Device;
  const TMirroredMemory& m_Memory;
  std::uint64_t m_Read = 0;
  std::uint64_t m_Cut = 0;
  bool m_EndOfData = false;
  bool m_Failed = false;
};

// Hands the pieces from the thread that cuts them to the thread that
// hashes them, and the released positions back.
class TPieceQueue
{
public:
  // Cutting side. Waits until the reader has room; false once stopped.
  bool waitForRoom(const TPieceReader& Reader, std::uint64_t& Released)
  {
    std::unique_lock<std::mutex> Lock(m_Mutex);
    m_Changed.wait(Lock, [&] { return m_Stopped || Reader.room(m_Released) > 0; });
    Released = m_Released;
    return !m_Stopped;
  }
  bool push(const TPiece& Piece)
  {
    {
      std::lock_guard<std::mutex> Lock(m_Mutex);
      if (m_Stopped)
        return false;
      m_Pieces.push_back(Piece);
    }
    m_Changed.notify_all();
    return true;
  }
  void finish(std::exception_ptr Failure)
  {
    {
      std::lock_guard<std::mutex> Lock(m_Mutex);
      m_Finished = true;
      m_Failure = Failure;
    }
    m_Changed.notify_all();
  }

  // Hashing side. The next piece in order; nothing once all were handed out.
  std::optional<TPiece> next()
  {
    std::unique_lock<std::mutex> Lock(m_Mutex);
    m_Changed.wait(Lock, [&] { return m_Finished || !m_Pieces.empty(); });
    if (m_Pieces.empty()) {
      if (m_Failure)
        std::rethrow_exception(m_Failure);
      return std::nullopt;
    }
    const TPiece Piece = m_Pieces.front();
    m_Pieces.pop_front();
    return Piece;
  }
  void release(std::uint64_t Position)
  {
    {
      std::lock_guard<std::mutex> Lock(m_Mutex);
      m_Released = Position;
    }
    m_Changed.notify_all();
  }
  void stop()
  {
    {
      std::lock_guard<std::mutex> Lock(m_Mutex);
      m_Stopped = true;
    }
    m_Changed.notify_all();
  }

private:
  std::mutex m_Mutex;
  std::condition_variable m_Changed;
  std::deque<TPiece> m_Pieces;
  std::uint64_t m_Released = 0;
  bool m_Finished = false;
  bool m_Stopped = false;
  std::exception_ptr m_Failure;
};

void cutPieces(TPieceReader& Reader, TPieceQueue& Queue)
{
  try {
    for (;;) {
      while (Reader.wantsData()) {
        std::uint64_t Released = 0;
        if (!Queue.waitForRoom(Reader, Released))
          break;
        Reader.read(Released);
      }
      const TPiece Piece = Reader.cut();
      if (Piece.length == 0 || !Queue.push(Piece))
        break;
    }
    Queue.finish(nullptr);
  } catch (...) {
    Queue.finish(std::current_exception());
  }
}

} // namespace

TContentDefinedChunker::TContentDefinedChunker(std::size_t ReadSize) : m_ReadSize(std::max<std::size_t>(ReadSize, 1))
{
}

class TContentDefinedChunker::TRing
{
public:
  explicit TRing(std::size_t Capacity) : memory(Capacity) {}
  TMirroredMemory memory;
};

TContentDefinedChunker::~TContentDefinedChunker() = default;

TContentDefinedChunker::TRing& TContentDefinedChunker::ringFor(const QIODevice& Device)
{
  const std::size_t Capacity = TPieceReader::capacityFor(Device, m_ReadSize);
  if (!m_pRing || m_pRing->memory.capacity() < Capacity)
    m_pRing = std::make_unique<TRing>(Capacity);
  return *m_pRing;
}

bool TContentDefinedChunker::forEachPiece(QIODevice& Device, const TPieceVisitor& Visit)
{
  TPieceReader Reader(Device, ringFor(Device).memory);
  for (;;) {
    // Every piece cut so far has been visited: all of it may be overwritten.
    while (Reader.wantsData())
      Reader.read(Reader.cutPosition());
    const TPiece Piece = Reader.cut();
    if (Piece.length == 0)
      break;
    Visit(Piece.data, Piece.length);
  }
  return !Reader.failed();
}

bool TContentDefinedChunker::forEachPieceHash(QIODevice& Device, const THashVisitor& Visit)
{
  TPieceReader Reader(Device, ringFor(Device).memory);
  TPieceQueue Queue;
  {
    // However this ends (Visit may throw), the cutting thread is stopped
    // and joined before the reader and the queue go away.
    struct TStopAndJoin
    {
      TPieceQueue& queue;
      std::thread thread;
      ~TStopAndJoin()
      {
        queue.stop();
        thread.join();
      }
    } Cutter{Queue, std::thread([&] { cutPieces(Reader, Queue); })};
    while (const std::optional<TPiece> Piece = Queue.next()) {
      Visit(TSha256::hash(Piece->data, Piece->length), Piece->length);
      Queue.release(Piece->position + Piece->length);
    }
  }
  return !Reader.failed();
}

} // namespace shared
