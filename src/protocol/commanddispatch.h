#ifndef COMMANDDISPATCH_H
#define COMMANDDISPATCH_H

#include <QString>

#include <functional>

class ReaderLibrary;

// Carries out one client request and hands the reply text to answer:
// the request object with "statuCode", "message" and (but for "open_device")
// "result" set in it, and the card under "read_result" after a successful
// read. A message without "cmd" comes back unchanged (as the empty object
// when it is no object). A null text when the reply would be longer than
// JsonWriter::MaxTextSize: the connection is then closed with code 1009.
// A command that needs the reader library is answered once the library has
// carried it out (later, from the event loop); any other at once, before
// this returns. A call the library failed in (it crashed or hung) is
// answered as failed, with "LIBRARY_FAULT" as the error code. Logs each step
// while the log file exists. reader: the library, null when none could be
// loaded; client and page: who asks (see ReaderLibrary::call).
void answerTextMessage(const QString &message, ReaderLibrary *reader, const void *client,
                       const QString &page, std::function<void(const QString &)> answer);

#endif // COMMANDDISPATCH_H
