#ifndef COMMANDDISPATCH_H
#define COMMANDDISPATCH_H

#include <QString>

// Carries out one client request and returns the reply text to send back.
//
// The request is a JSON object whose "cmd" names the command ("open_device",
// "close_device", "read_card_info"). The reply is the request object itself with
// "statuCode", "message" and, for every command but "open_device", "result" set
// in it; a successful read adds the card under "read_result". A message without
// "cmd" (unparsable text and non-objects included) comes back unchanged, as the
// empty object where it was not an object. Replies use Qt's indented JSON form.
//
// A null text when the reply would be longer than JsonWriter::MaxTextSize
// (deeply nested requests can ask for gigabytes): nothing is sent then, and
// the connection is closed with code 1009.
//
// Calls the reader library synchronously and, while the log file exists, logs
// each step at debug level.
QString answerTextMessage(const QString &message);

#endif // COMMANDDISPATCH_H
