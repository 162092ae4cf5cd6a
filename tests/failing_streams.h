// Stream buffers that fail part-way, the way files and devices do.
#ifndef TESTS_FAILING_STREAMS_H
#define TESTS_FAILING_STREAMS_H

#include <ios>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>

// Serves `text`, then fails as a file stream does on an I/O error: its
// underflow throws, and the reading istream turns that into badbit.
class FailingReadBuf : public std::streambuf {
public:
  explicit FailingReadBuf(std::string text) : Text(std::move(text)) {
    setg(Text.data(), Text.data(), Text.data() + Text.size());
  }

protected:
  int_type underflow() override {
    throw std::ios_base::failure("injected read error");
  }

private:
  std::string Text;
};

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
