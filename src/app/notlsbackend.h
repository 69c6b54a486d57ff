#pragma once

// The service speaks plain ws:// only, yet Qt 6 sets up a TLS back-end for
// every WebSocket's settings: by default it loads every TLS plug-in, and the
// OpenSSL one initialises OpenSSL (milliseconds at start-up, megabytes for
// good). NoTlsBackend::install() gives Qt a back-end that does nothing
// instead, before the first WebSocket; Qt then looks for no plug-in. Where
// Qt's private headers are missing it falls back to Qt's own back-end
// without TLS ("cert-only"), whose plug-in is loaded with the others.
class NoTlsBackend
{
public:
    // Before the application object is made. Does nothing on Qt 5.
    static void install();
};
