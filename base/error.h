// The closed error vocabulary of Tollbrook. Every fallible operation returns a
// Result<T>: its value or one Error. The names returned by errorName() are part
// of the system's texts: they appear in log lines ("error.OutOfMemory") and in
// the tools' messages, so they never change once published.
#ifndef TOLLBROOK_BASE_ERROR_H_
#define TOLLBROOK_BASE_ERROR_H_

#include <cstdint>
#include <expected>
#include <string_view>

namespace tollbrook {

// X-macro list: one line per error kind. Keep groups together; the order has no
// meaning beyond readability.
#define TOLLBROOK_ERRORS(X)    \
  /* resources */              \
  X(OutOfMemory)               \
  X(SystemResources)           \
  X(ProcessFdQuotaExceeded)    \
  X(SystemFdQuotaExceeded)     \
  /* files and paths */        \
  X(FileNotFound)              \
  X(AccessDenied)              \
  X(PermissionDenied)          \
  X(IsDir)                     \
  X(NotDir)                    \
  X(NameTooLong)               \
  X(PathTooLong)               \
  X(SymLinkLoop)               \
  X(FileTooBig)                \
  X(FileBusy)                  \
  X(ReadOnlyFileSystem)        \
  X(NoSpaceLeft)               \
  X(InputOutput)               \
  X(InvalidArgument)           \
  X(BadFileDescriptor)         \
  X(Unexpected)                \
  X(NotRegularFile)            \
  /* process control */        \
  X(AlreadyRunning)            \
  X(FormatError)               \
  X(InvalidUserSpec)           \
  X(UsernameTooLong)           \
  X(GroupNameTooLong)          \
  X(UserNotFound)              \
  X(GroupNotFound)             \
  X(RefusingToDropToRoot)      \
  X(SetgroupsFailed)           \
  X(SetgidFailed)              \
  X(SetuidFailed)              \
  X(PrivilegeDropNotEffective) \
  /* tag lists */              \
  X(EmptyTagList)              \
  X(MissingEquals)             \
  X(InvalidTagName)            \
  X(DuplicateTagName)          \
  X(TooManyTags)               \
  /* base64 and folding */     \
  X(InvalidPadding)            \
  X(InvalidCharacter)          \
  X(BuildFailed)               \
  /* canonicalization */       \
  X(InvalidCanonicalization)   \
  X(MalformedHeader)           \
  /* keys and signing */       \
  X(KeyFilePermissionsTooOpen) \
  X(FileOpenFailed)            \
  X(KeyParseFailed)            \
  X(NotRsaKey)                 \
  X(RsaKeyTooSmall)            \
  X(CtxCreateFailed)           \
  X(SignInitFailed)            \
  X(SignUpdateFailed)          \
  X(SignFinalFailed)           \
  X(InvalidPem)                \
  X(InvalidSeedLength)         \
  X(IdentityElement)           \
  /* DNS wire format */        \
  X(EmptyLabel)                \
  X(LabelTooLong)              \
  X(TooManyLabels)             \
  X(PacketTooShort)            \
  X(InvalidPointer)            \
  X(TooManyPointers)           \
  X(IdMismatch)                \
  X(UnexpectedEof)             \
  X(InvalidAddress)            \
  X(InvalidServerCount)        \
  /* sockets */                \
  X(ConnectionRefused)         \
  X(ConnectionResetByPeer)     \
  X(ConnectionTimedOut)        \
  X(NetworkUnreachable)        \
  X(HostUnreachable)           \
  X(AddressFamilyNotSupported) \
  X(AddressInUse)              \
  X(AddressNotAvailable)       \
  X(WouldBlock)                \
  X(BrokenPipe)                \
  X(MessageTooBig)             \
  X(BlockedByFirewall)         \
  X(SocketNotListening)        \
  X(ConnectionAborted)         \
  X(ProtocolFailure)           \
  /* resolver */               \
  X(DnsTimeout)                \
  X(DnsNameError)              \
  X(DnsServerFailure)          \
  X(DnsNoHealthyServers)       \
  /* ARC structure */          \
  X(MalformedInstance)         \
  X(ChainTooLong)              \
  X(DuplicateHeader)           \
  X(MalformedTagList)          \
  X(ChainGap)                  \
  X(IncompleteSet)             \
  /* milter */                 \
  X(PacketTooLarge)            \
  X(OutputQueueFull)           \
  X(BodyTooLarge)              \
  /* configuration */          \
  X(InvalidConfiguration)      \
  X(InvalidMode)               \
  X(InvalidOnDnsError)         \
  X(MissingListenerSocket)     \
  X(InvalidListenerSocket)     \
  X(InvalidPort)               \
  X(InvalidHost)               \
  X(InvalidPath)               \
  X(InvalidNameserver)

enum class Error : uint8_t {
#define TOLLBROOK_ERROR_ENUM(name) name,
  TOLLBROOK_ERRORS(TOLLBROOK_ERROR_ENUM)
#undef TOLLBROOK_ERROR_ENUM
};

// The bare name of an error kind, such as "OutOfMemory". Static storage.
std::string_view errorName(Error error);

template <typename T>
using Result = std::expected<T, Error>;

// Result of an operation that yields nothing but may fail.
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(error);
}

}  // namespace tollbrook

#endif  // TOLLBROOK_BASE_ERROR_H_
