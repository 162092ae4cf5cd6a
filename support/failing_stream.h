// An output stream buffer whose device fails part-way, as a full disk does.
#ifndef SUPPORT_FAILING_STREAM_H
#define SUPPORT_FAILING_STREAM_H

#include <cstddef>
#include <sstream>

// Keeps what is written, but its device fails after `goodFlushes` flushes.
class FailingSyncBuf : public std::stringbuf {
public:
  explicit FailingSyncBuf(std::size_t goodFlushes) : GoodFlushes(goodFlushes) {}

protected:
  int sync() override {
    if (GoodFlushes == 0)
      return -1;
    --GoodFlushes;
    return 0;
  }

private:
  std::size_t GoodFlushes;
};

#endif
