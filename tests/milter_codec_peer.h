// The daemon's side of one milter connection for tests, without the worker:
// the codec serves a socket on a thread of its own as a worker would (read,
// dispatch every complete packet, one flush per read) until end of file, a
// framing error or a close the codec asks for; then it closes the socket. The
// connection record is the test's to inspect once join() has returned.
#ifndef TOLLBROOK_TESTS_MILTER_CODEC_PEER_H_
#define TOLLBROOK_TESTS_MILTER_CODEC_PEER_H_

#include <memory>
#include <string>
#include <thread>

#include "base/unique_fd.h"
#include "daemon/milter/codec.h"

namespace tollbrook::testing {

class CodecPeer {
 public:
  // Starts serving `socket` (blocking) with `handlers` and these limits. With
  // a transcript, every byte read from the MTA is appended to it (the test
  // reads it after join()).
  CodecPeer(UniqueFd socket, const MilterHandlers& handlers, MessageLimits limits = {},
            std::string* transcript = nullptr);
  ~CodecPeer();
  CodecPeer(const CodecPeer&) = delete;
  CodecPeer& operator=(const CodecPeer&) = delete;

  // Waits until the connection has ended.
  void join();
  // After join(): the record as the codec left it.
  const MilterConnection& connection() const { return *connection_; }

 private:
  void serve();

  MilterHandlers handlers_;
  std::string* transcript_;
  std::unique_ptr<MilterConnection> connection_;
  std::thread thread_;
};

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_MILTER_CODEC_PEER_H_
