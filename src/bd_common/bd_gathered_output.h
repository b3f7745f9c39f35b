#ifndef BD_COMMON_BD_GATHERED_OUTPUT_H_
#define BD_COMMON_BD_GATHERED_OUTPUT_H_

#include <stddef.h>

#include <string>
#include <string_view>

// Lines for the day file, standard output and standard error held back so that a burst of them
// costs one write per destination instead of one per line.
//
// When standard output and standard error are the same open file (`2>&1`, one terminal,
// /dev/null for both) their lines share one buffer, written through standard error, so they keep
// the order in which they were added, as when every line was written at once. Within each
// destination lines keep their order. A stream that is /dev/null (as under the service manager and
// in the background) is not held at all: nobody can tell whether it was written.
//
// Not thread-safe: the owner (BdLog) guards it with its lock.
class BdGatheredOutput {
  public:
    // A destination holding more than this is due for writing: it bounds the memory one busy loop
    // turn keeps and the size of one write.
    static constexpr size_t kFlushBytes = 64 * 1024;

    BdGatheredOutput() = default;
    BdGatheredOutput(const BdGatheredOutput &) = delete;
    BdGatheredOutput &operator=(const BdGatheredOutput &) = delete;

    // Looks again whether standard output and standard error are one file, and whether either is
    // /dev/null. Only while nothing is held.
    void LookAtStreams();

    void AddFileLine(std::string_view line) { _file.append(line.data(), line.size()); }
    void AddStdoutLine(std::string_view line) {
        if (!_stdoutDiscarded) {
            Stdout().append(line.data(), line.size());
        }
    }
    void AddStderrLine(std::string_view line) {
        if (!_stderrDiscarded) {
            _stderr.append(line.data(), line.size());
        }
    }

    bool Empty() const { return _file.empty() && _stdout.empty() && _stderr.empty(); }
    bool FileEmpty() const { return _file.empty(); }
    // True once any destination holds more than kFlushBytes.
    bool Full() const {
        return _file.size() > kFlushBytes || _stdout.size() > kFlushBytes ||
               _stderr.size() > kFlushBytes;
    }

    // Writes the day file's lines to fd (dropped when fd < 0; a write error is ignored, as for a
    // single line) and empties that buffer.
    void WriteFile(int fd);
    // Writes and empties both streams' buffers: anything stdio still holds for standard output
    // goes first, standard error is written through std::cerr. False when std::cerr is not in a
    // good state afterwards (only when something was written to it).
    bool WriteStreams();

  private:
    std::string &Stdout() { return _shared ? _stderr : _stdout; }

    bool _shared = false;
    bool _stdoutDiscarded = false;
    bool _stderrDiscarded = false;
    std::string _file;
    std::string _stdout;  // unused while _shared
    std::string _stderr;
};

#endif  // BD_COMMON_BD_GATHERED_OUTPUT_H_
