#ifndef QUORVANE_RTSP_CLIENT_OPTIONS_H
#define QUORVANE_RTSP_CLIENT_OPTIONS_H

#include <string>

#include "quorvane_export.h"

// Everything a camera fleet may need beyond the default behaviour, as one value handed to the
// client before enable(). A default-constructed value keeps the library's long-standing
// behaviour, apart from the protections against foreign and malformed packets, which are on.
// mixedFleet() turns on what a user with cameras of many makes wants.
struct QUORVANE_EXPORT RtspClientOptions {
    // RTP and RTCP are accepted only from the camera: the RTSP server's address and the source= of
    // the SETUP answer (not a loopback or unspecified one of a camera elsewhere), from the answer's
    // server_port where it named one. Turn off for cameras behind relays that translate addresses.
    bool filterSourceAddress = true;

    // RFC 6184 STAP-A (24) and RFC 7798 aggregation packets (48) are unpacked; every NAL unit in
    // them takes the path of a single NAL unit packet. Off: they are refused with an error line.
    bool unpackAggregates = false;
    // Every H.265 NAL unit type of the standard is delivered (VCL 0-9 and 16-21, parameter sets,
    // SEI, AUD, EOS/EOB, FD). Off: only TRAIL_R, IDR_W_RADL, VPS, SPS, PPS and SEI suffix.
    bool allH265NalUnitTypes = false;
    // Parameter sets of the SDP (sprop-parameter-sets, sprop-vps/sps/pps) are delivered before the
    // first picture when the camera has sent none in-band, and kept for the getters.
    bool sdpParameterSets = false;
    // The codec is taken from the rtpmap of the track that was set up (H264, H265, HEVC, any
    // case); the vote on the first packets' bytes is only the fallback.
    bool codecFromSdp = false;
    // SDP reading that matches real cameras: encoding names without case, several payload types
    // on one m= line, every m= line its own section, one-character controls, Content-Base /
    // Content-Location as base of relative controls, rtpmap with a channel count, any number of
    // media sections. Only the first H.264/H.265 track is set up (off: every one is).
    bool realCameraSdp = false;
    // A picture is handed over as soon as it is complete: on the RTP marker bit (RFC 6184 5.1),
    // or on a timestamp change for cameras that never set it; the last picture is handed over at
    // teardown or silence. Off: a picture is handed over when the next one begins.
    bool markerCompletion = false;
    // Microseconds the UDP receive thread pauses for each packet it delivers, taken as one sleep
    // after each batch of packets read together; 0 = no pause.
    unsigned rtpPacketPauseUs = 10;
    // Interleaved (TCP) sessions: the library reads the camera's connection itself and hands each
    // frame on as it arrives; libcurl, connected to the library over the loopback address, sees
    // only the RTSP answers. About half the CPU per camera of libcurl's RECEIVE requests, and
    // disable() does not wait for a RECEIVE to end. Off: libcurl reads the frames in RECEIVE
    // requests.
    bool directInterleavedRead = false;
    // Cameras that know only Basic authentication get the password in Basic when they ask for
    // it. Off: only Digest is answered, and the password never leaves unprotected. Either way
    // no credentials go out before the camera has asked for them.
    bool allowBasicAuth = true;
    // Fewer wake-ups per picture from cameras that space their packets out: once a read has
    // brought packets of a picture whose last packet (RTP marker bit) has not come yet, the
    // receiver waits this many microseconds and then takes everything that arrived meanwhile with
    // one read (UDP: one recvmmsg; TCP with directInterleavedRead: one read of the connection).
    // A picture is handed over at most this much later than it arrived; disable() and teardown
    // are not held up by the wait. At most kMaxReceiveCoalescingUs (larger values are taken as
    // that); 0 = every packet is read as soon as it arrives.
    unsigned receiveCoalescingUs = 0;
    static constexpr unsigned kMaxReceiveCoalescingUs = 5000;
    // The first audio track of the SDP is set up after the video track, over the same transport,
    // and its frames go to RtspClient::setAudioCallback (AAC, G.711, G.726, Opus). A track of
    // another codec, or an audio SETUP the camera refuses, leaves one log line and the video
    // playing. Off: only video is set up, and the camera sees no audio request. Not part of
    // mixedFleet(): sound costs the camera and the network, so it is asked for on its own.
    bool receiveAudio = false;

    // rtsps:// URLs: RTSP over TLS (GnuTLS), port 322 unless the URL names one, the stream
    // interleaved in the TLS connection (TCP transport only; a UDP client refuses rtsps). The
    // camera's certificate is checked against the system's trust store and the URL's host.
    // PEM file of trust anchors used instead of the system's trust store.
    std::string tlsCaFile;
    // Pinned public keys, as libcurl takes them: "sha256//" and the base64 SHA-256 of the DER
    // public key (openssl x509 -pubkey | openssl pkey -pubin -outform der | sha256 | base64),
    // several separated by ';'. When set, the pin alone decides: a self-signed certificate whose
    // key matches is accepted, any other key refused, whatever its chain.
    std::string tlsPinnedPublicKey;
    // INSECURE: any certificate is accepted, so anyone on the path can read and alter the
    // session. For trying out a camera only.
    bool tlsInsecureNoVerify = false;

    // RTSP tunnelled in HTTP (a GET connection carrying the camera's stream, a POST connection
    // carrying the requests in base64, tied by x-sessioncookie), on the URL's port: for cameras
    // behind firewalls and proxies that pass only HTTP. The same as an rtsph:// URL, whose port
    // is 80 unless it names one. TCP transport only (interleaved RTP inside the tunnel).
    bool httpTunnel = false;

    // RTP over UDP by multicast (many viewers of one camera): SETUP asks for "RTP/AVP;multicast"
    // (for the video track, and the audio track with receiveAudio), and the receiver joins the
    // group (IPv4 or IPv6) and ports of the camera's answer (destination=, port=), source-specific
    // for the camera's addresses while filterSourceAddress is on, and leaves it when the session
    // ends.
    // Several clients of one process may receive the same group: each gets every packet. A camera
    // that refuses (461 Unsupported Transport, a unicast answer, or no usable group and ports)
    // ends the attempt with RtspClientReason::MulticastRefused; there is no fallback to unicast.
    // Receiver reports go to the camera's own address, never to the group. UDP transport only: a
    // TCP client keeps its interleaved stream (with one warning). Not part of mixedFleet():
    // multicast needs the network's cooperation (IGMP snooping, multicast routes).
    bool multicast = false;

    // Everything above that a mixed fleet of cameras wants: aggregation packets, all H.265 types,
    // SDP parameter sets and codec, real-camera SDP, marker completion, no per-packet pause, the
    // interleaved stream read directly, receive coalescing of 2 ms; Basic authentication stays
    // allowed.
    static RtspClientOptions mixedFleet() {
        RtspClientOptions o;
        o.unpackAggregates = true;
        o.allH265NalUnitTypes = true;
        o.sdpParameterSets = true;
        o.codecFromSdp = true;
        o.realCameraSdp = true;
        o.markerCompletion = true;
        o.rtpPacketPauseUs = 0;
        o.directInterleavedRead = true;
        o.receiveCoalescingUs = 2000;
        return o;
    }
};

#endif
