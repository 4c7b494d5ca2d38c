#include "daemon/worker/listeners.h"

#include <new>
#include <string>

#include "platform/listen_socket.h"

namespace tollbrook {

namespace {

Status addUnixListener(std::span<Worker* const> workers, const ListenAddress& address) {
  Result<UniqueFd> socket = createListenSocket(address);
  if (!socket) return fail(socket.error());
  for (Worker* worker : workers) {
    Result<UniqueFd> own = duplicateListenSocket(socket->get());
    if (!own) return fail(own.error());
    std::string path;
    try {
      path = address.address;
    } catch (const std::bad_alloc&) {
      return fail(Error::OutOfMemory);
    }
    if (Status added = worker->addListener(std::move(*own), std::move(path)); !added) {
      return added;
    }
  }
  return {};
}

Status addInetListener(std::span<Worker* const> workers, const ListenAddress& address) {
  // The workers' sockets share the port among themselves; another daemon
  // already on it must make start-up fail rather than take half the mail.
  if (Status free = inetAddressIsFree(address.address, address.port); !free) return free;
  for (Worker* worker : workers) {
    Result<UniqueFd> socket = createListenSocket(address);
    if (!socket) return fail(socket.error());
    if (Status added = worker->addListener(std::move(*socket), {}); !added) return added;
  }
  return {};
}

}  // namespace

Result<UniqueFd> createListenSocket(const ListenAddress& address) {
  if (address.isUnix) return listenUnix(address.address);
  return listenInet(address.address, address.port);
}

Status addListeners(std::span<Worker* const> workers, std::span<const ListenAddress> addresses) {
  for (const ListenAddress& address : addresses) {
    Status added =
        address.isUnix ? addUnixListener(workers, address) : addInetListener(workers, address);
    if (!added) return added;
  }
  return {};
}

}  // namespace tollbrook
