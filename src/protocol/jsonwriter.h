#ifndef JSONWRITER_H
#define JSONWRITER_H

#include <QJsonObject>
#include <QJsonValue>
#include <QLatin1String>
#include <QString>

#include <functional>
#include <initializer_list>

// Writes JSON text byte for byte as QJsonDocument::toJson does, as the UTF-16
// text that a reply goes out as, with some members set on the way: the object
// as if they had been inserted into it, without building the changed object.
// Replies are the request with a few status members set, and this is their
// hot path: building the reply as a QJsonObject and writing it with
// QJsonDocument keeps replies from their throughput targets (the figures are
// in docs/developing.md, Fast paths).
class JsonWriter
{
public:
    enum class Format { Indented, Compact };

    // The longest text written, in UTF-16 code units. A well-formed request's
    // reply is a few MiB at most, but deep nesting multiplies every element's
    // indent (200 KB can ask for gigabytes): writing stops past this bound.
    static constexpr int MaxTextSize = 8 * 1024 * 1024;

    // A member set in the object: its key (plain ASCII letters) and what
    // writes its value.
    struct Member
    {
        QLatin1String key;
        std::function<void(JsonWriter &)> writeValue;
    };

    // The object with the members set, or a null text when it would be longer
    // than MaxTextSize. The members' keys must be in ascending order, each once.
    static QString write(const QJsonObject &object, std::initializer_list<Member> members,
                         Format format);

    // For a member's writeValue:
    void value(const QJsonValue &value);
    void value(double number);
    void value(const QString &text);
    // A string from bytes that are ASCII already (a card's photo).
    void value(QLatin1String ascii);
    // An object whose members are written between the two, each after key().
    void beginObject();
    void key(QLatin1String key);
    void endObject();
    // Room for at least units more code units, claimed ahead of a large value.
    void reserve(int units) { claim(units); }

private:
    explicit JsonWriter(Format format);

    char16_t *claim(int room);
    void grow(int room);
    void append(char c);
    void append(const char *ascii);
    void appendAscii(const char *ascii, int size);
    void indent();
    void close(char bracket);
    void separate();
    void key(const QString &key);
    void object(const QJsonObject &object, std::initializer_list<Member> members);
    void array(const QJsonArray &array);

    QString text;
    char16_t *end;
    char16_t *limit;
    const bool compact;
    int depth = 0;
    // No member written yet at the current depth.
    bool first = true;
};

#endif // JSONWRITER_H
