#ifndef QUORVANE_RTSP_CLIENT_EVENTS_H
#define QUORVANE_RTSP_CLIENT_EVENTS_H

#include <cstdint>

#include "quorvane_export.h"

// Where a camera's session stands, as the state callback reports it.
enum class RtspClientState {
    Connecting,    // enable() or a reconnect runs OPTIONS..PLAY
    Playing,       // PLAY answered; video may flow
    Reconnecting,  // the session was dropped and is being rebuilt (see reason)
    Stopped,       // disable() or destruction ended the session
    Failed,        // the latest attempt failed (see reason); the library retries while enabled
};

// Why a session is being rebuilt or failed.
enum class RtspClientReason {
    None,
    Silence,         // no video for the silence time-out
    Closed,          // the camera closed the connection
    Error,           // a socket or protocol error
    Authentication,  // 401/403 to a request
    NotFound,        // 404 to a request
    Unreachable,     // no TCP connection (refused, unreachable, time-out)
    NoVideoTrack,    // the SDP offers no H.264/H.265 track
    Status,          // another RTSP error status
    Certificate,     // rtsps: the camera's certificate is not trusted (chain, host name or pinned key)
    // RtspClientOptions::multicast: the camera refused multicast (461 Unsupported Transport, a
    // unicast answer, or an answer without a usable group and ports)
    MulticastRefused,
};

// Which way a session reaches its camera: chosen by the URL's scheme, the transport and the options.
enum class RtspPath {
    Udp,         // RTP over UDP beside a plain RTSP connection
    Tcp,         // RTP interleaved in a plain RTSP connection
    Tls,         // rtsps://: RTP interleaved in RTSP over TLS
    HttpTunnel,  // rtsph:// or httpTunnel: RTP interleaved in RTSP tunnelled in HTTP
    Multicast,   // RtspClientOptions::multicast: RTP over UDP from a multicast group
};

struct QUORVANE_EXPORT RtspStateEvent {
    RtspClientState state = RtspClientState::Stopped;
    RtspClientReason reason = RtspClientReason::None;
    long rtspStatus = 0;  // the camera's status when a request was refused, else 0
    int osErrno = 0;      // the system error behind a failed connection, else 0
    // Playing: the way the session reaches the camera, and whether the camera's address is IPv6.
    RtspPath path = RtspPath::Udp;
    bool ipv6 = false;
};

#endif
