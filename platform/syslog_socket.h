// Where the local syslog daemon listens for datagrams on this platform.
#ifndef TOLLBROOK_PLATFORM_SYSLOG_SOCKET_H_
#define TOLLBROOK_PLATFORM_SYSLOG_SOCKET_H_

namespace tollbrook {

#if defined(__FreeBSD__)
inline constexpr const char kSyslogSocketPath[] = "/var/run/log";
#else
inline constexpr const char kSyslogSocketPath[] = "/dev/log";
#endif

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_SYSLOG_SOCKET_H_
