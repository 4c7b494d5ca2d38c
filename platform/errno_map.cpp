#include "platform/errno_map.h"

#include <cerrno>

namespace tollbrook {

Error errorFromErrno(int err) {
  switch (err) {
    case ENOMEM:
      return Error::OutOfMemory;
    case ENOBUFS:
      return Error::SystemResources;
    case EMFILE:
      return Error::ProcessFdQuotaExceeded;
    case ENFILE:
      return Error::SystemFdQuotaExceeded;
    case ENOENT:
      return Error::FileNotFound;
    case EACCES:
      return Error::AccessDenied;
    case EPERM:
      return Error::PermissionDenied;
    case EISDIR:
      return Error::IsDir;
    case ENOTDIR:
      return Error::NotDir;
    case ENAMETOOLONG:
      return Error::NameTooLong;
    case ELOOP:
      return Error::SymLinkLoop;
    case EFBIG:
      return Error::FileTooBig;
    case EBUSY:
    case ETXTBSY:
      return Error::FileBusy;
    case EROFS:
      return Error::ReadOnlyFileSystem;
    case ENOSPC:
      return Error::NoSpaceLeft;
    case EIO:
      return Error::InputOutput;
    case EINVAL:
      return Error::InvalidArgument;
    case EBADF:
      return Error::BadFileDescriptor;
    case ECONNREFUSED:
      return Error::ConnectionRefused;
    case ECONNRESET:
      return Error::ConnectionResetByPeer;
    case ETIMEDOUT:
      return Error::ConnectionTimedOut;
    case ENETUNREACH:
    case ENETDOWN:
      return Error::NetworkUnreachable;
    case EHOSTUNREACH:
    case EHOSTDOWN:
      return Error::HostUnreachable;
    case EAFNOSUPPORT:
    case EPFNOSUPPORT:
      return Error::AddressFamilyNotSupported;
    case EADDRINUSE:
      return Error::AddressInUse;
    case EADDRNOTAVAIL:
      return Error::AddressNotAvailable;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
      return Error::WouldBlock;
    case EPIPE:
      return Error::BrokenPipe;
    case EMSGSIZE:
      return Error::MessageTooBig;
    default:
      return Error::Unexpected;
  }
}

}  // namespace tollbrook
