#ifndef COMMANDDISPATCH_H
#define COMMANDDISPATCH_H

#include <QString>

// Carries out one client request and returns the reply text to send back:
// the request object with "statuCode", "message" and (but for "open_device")
// "result" set in it, and the card under "read_result" after a successful
// read. A message without "cmd" comes back unchanged (as the empty object
// when it is no object). A null text when the reply would be longer than
// JsonWriter::MaxTextSize: the connection is then closed with code 1009.
// Calls the reader library synchronously; logs each step while the log file
// exists.
QString answerTextMessage(const QString &message);

#endif // COMMANDDISPATCH_H
