#include "noflyzonefile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRunnable>
#include <QThreadPool>
#include <QtMath>

#include <simdjson.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

namespace {

// The members a zone is read from, in the order readZone() needs them.
enum Key {
    Radius,
    Disable,
    AreaId,
    Type,
    Lat,
    Lng,
    Warning,
    Level,
    UpdatedAt,
    BeginAt,
    EndAt,
    Name,
    Country,
    City,
    KeyCount
};
constexpr std::string_view KeyNames[KeyCount] = {
    "radius", "disable",    "area_id",  "type",   "lat",  "lng",     "warning",
    "level",  "updated_at", "begin_at", "end_at", "name", "country", "city"};

// The reading rules of the zone file. readZone() takes any source with
// integer(key), text(key) and radians(key), so every parser shares them.

// A whole number, else 0; the caller cuts it to its field's width. Numbers
// beyond 64 bits read as 0 as well.
qint64 wholeNumber(double number) {
    if (!std::isfinite(number) || std::trunc(number) != number || number < -9.2e18 ||
        number > 9.2e18)
        return 0;
    return static_cast<qint64>(number);
}

// Qt's reading of the text: 0 when it names no number, infinity when it
// overflows; "nan" and "inf" are numbers too. The query copes with any value.
double radiansFromDegrees(double degrees) {
    return degrees * M_PI / 180.0;
}

double radiansFromText(const QString &text) {
    return radiansFromDegrees(text.toDouble());
}

// Plain decimal text ("-12.345") without building a QString. Both this and
// QString::toDouble round correctly, so they agree; everything else, and a
// zero whose sign might matter, takes QString::toDouble.
bool plainDegrees(std::string_view text, double &degrees) {
    if (text.empty() || text.size() > 24)
        return false;
    size_t i = text.front() == '-' ? 1 : 0;
    const auto digitsFrom = [&](size_t from) {
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        return i - from;
    };
    if (digitsFrom(i) == 0)
        return false;
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (digitsFrom(i) == 0)
            return false;
    }
    if (i != text.size())
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), degrees);
    return error == std::errc() && end == text.data() + text.size() && degrees != 0.0;
}

class JsonZoneFields {
public:
    explicit JsonZoneFields(const QJsonObject &object)
        : object(object) {}

    qint64 integer(Key key) const {
        const QJsonValue value = member(key);
        return value.isDouble() ? wholeNumber(value.toDouble()) : 0;
    }
    QString text(Key key) const { return member(key).toString(); }
    double radians(Key key) const { return radiansFromText(text(key)); }

private:
    QJsonValue member(Key key) const {
        const std::string_view name = KeyNames[key];
        return object.value(QLatin1String(name.data(), int(name.size())));
    }

    const QJsonObject &object;
};

// Zone files repeat the same few thousand city names; sharing one QString
// per distinct text spares an allocation and its memory for every repeat.
// Each text has one slot, found by its hash: a look-up is one comparison,
// and a text that meets another in its slot only costs a new QString.
class TextCache {
public:
    QString text(std::string_view view) {
        uint32_t hash = 2166136261u;
        for (const char c : view)
            hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        Slot &slot = table[hash % Slots];
        if (slot.key.size() != int(view.size()) ||
            std::memcmp(slot.key.constData(), view.data(), view.size()) != 0) {
            slot.key = QByteArray(view.data(), int(view.size()));
            slot.text = QString::fromUtf8(view.data(), int(view.size()));
        }
        return slot.text;
    }

private:
    static constexpr size_t Slots = 1 << 13;
    struct Slot {
        QByteArray key;
        QString text;
    };
    std::vector<Slot> table = std::vector<Slot>(Slots);
};

// Every zone names most keys, so this runs some fifteen times a zone: the
// length and first letter leave at most one name to compare.
Key keyOf(std::string_view name) {
    if (name.empty())
        return KeyCount;
    const auto is = [name](Key key) { return KeyNames[key] == name ? key : KeyCount; };
    switch (name.size() * 256 + static_cast<unsigned char>(name.front())) {
    case 3 * 256 + 'l':
        return name[1] == 'a' ? is(Lat) : is(Lng);
    case 4 * 256 + 't':
        return is(Type);
    case 4 * 256 + 'n':
        return is(Name);
    case 4 * 256 + 'c':
        return is(City);
    case 5 * 256 + 'l':
        return is(Level);
    case 6 * 256 + 'r':
        return is(Radius);
    case 6 * 256 + 'e':
        return is(EndAt);
    case 7 * 256 + 'd':
        return is(Disable);
    case 7 * 256 + 'a':
        return is(AreaId);
    case 7 * 256 + 'w':
        return is(Warning);
    case 7 * 256 + 'c':
        return is(Country);
    case 8 * 256 + 'b':
        return is(BeginAt);
    case 10 * 256 + 'u':
        return is(UpdatedAt);
    default:
        return KeyCount;
    }
}

class SimdZoneFields {
public:
    // A repeated member counts with its last value, as with Qt's parser.
    SimdZoneFields(simdjson::dom::object object, TextCache &cache)
        : cache(cache) {
        for (const simdjson::dom::key_value_pair field : object) {
            const Key key = keyOf(field.key);
            if (key != KeyCount) {
                members[key] = field.value;
                present[key] = true;
            }
        }
    }

    qint64 integer(Key key) const {
        if (!present[key])
            return 0;
        const simdjson::dom::element &value = members[key];
        switch (value.type()) {
        case simdjson::dom::element_type::INT64:
            return wholeNumber(double(int64_t(value)));
        case simdjson::dom::element_type::UINT64:
            return wholeNumber(double(uint64_t(value)));
        case simdjson::dom::element_type::DOUBLE:
            return wholeNumber(double(value));
        default:
            return 0;
        }
    }
    QString text(Key key) const {
        std::string_view view;
        if (!present[key] || members[key].get(view) != simdjson::SUCCESS)
            return QString();
        // Names are mostly distinct; only the city repeats often enough to share.
        if (key == City)
            return cache.text(view);
        return QString::fromUtf8(view.data(), int(view.size()));
    }
    double radians(Key key) const {
        std::string_view view;
        if (!present[key] || members[key].get(view) != simdjson::SUCCESS)
            return 0.0;
        double degrees = 0.0;
        if (plainDegrees(view, degrees))
            return radiansFromDegrees(degrees);
        return radiansFromText(QString::fromUtf8(view.data(), int(view.size())));
    }

private:
    TextCache &cache;
    simdjson::dom::element members[KeyCount];
    bool present[KeyCount] = {};
};

// Fills zone and returns true if the entry is a usable zone.
template<class Fields> bool readZone(const Fields &fields, NoFlyZone &zone) {
    // A negative radius wraps to a large one and so counts as usable.
    const auto radius = static_cast<uint32_t>(fields.integer(Radius));
    const auto disable = static_cast<uint8_t>(fields.integer(Disable));
    if (radius <= 1 || disable == 1)
        return false;
    zone.areaId = static_cast<int32_t>(fields.integer(AreaId));
    zone.type = static_cast<uint8_t>(fields.integer(Type));
    zone.latitude = fields.radians(Lat);
    zone.longitude = fields.radians(Lng);
    zone.radius = radius;
    zone.warning = static_cast<uint8_t>(fields.integer(Warning));
    zone.level = static_cast<uint8_t>(fields.integer(Level));
    zone.updatedAt = static_cast<uint32_t>(fields.integer(UpdatedAt));
    zone.beginAt = static_cast<int32_t>(fields.integer(BeginAt));
    zone.endAt = static_cast<int32_t>(fields.integer(EndAt));
    zone.name = fields.text(Name);
    zone.country = static_cast<int16_t>(fields.integer(Country));
    zone.city = fields.text(City);
    zone.disable = disable;
    return true;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The file front to back through one reused buffer that holds the bytes from
// the oldest one still needed. Unlike a mapping, reads cannot fault when the
// file is cut short or rewritten meanwhile: they only end sooner.
class ChunkedFile {
public:
    explicit ChunkedFile(QFile &file)
        : file(file) {}

    // True once the byte at offset is held, reading on as needed; false if
    // the file ends first.
    bool reach(qint64 offset) {
        while (offset >= base + qint64(held)) {
            if (!more())
                return false;
        }
        return true;
    }
    char at(qint64 offset) const { return buffer[size_t(offset - base)]; }
    const char *data(qint64 offset) const { return buffer.get() + (offset - base); }
    // Bytes before offset are not asked for again.
    void release(qint64 offset) { released = std::max(released, offset); }
    // Empty unless a read failed.
    const QString &readError() const { return error; }

private:
    static constexpr size_t Chunk = 1 << 20;
    // Room for several chunks beyond what the reader holds on to, so the
    // kept bytes move down seldom; pages never reached are never touched,
    // so a small file costs no more than its size.
    static constexpr size_t Capacity = 8 << 20;

    bool more() {
        if (finished)
            return false;
        if (held + Chunk > capacity) {
            const size_t unneeded = size_t(released - base);
            std::memmove(buffer.get(), buffer.get() + unneeded, held - unneeded);
            held -= unneeded;
            base = released;
        }
        if (held + Chunk > capacity) {
            capacity = 2 * (held + Chunk);
            std::unique_ptr<char[]> larger(new char[capacity]);
            std::memcpy(larger.get(), buffer.get(), held);
            buffer = std::move(larger);
        }
        const qint64 got = file.read(buffer.get() + held, qint64(Chunk));
        if (got <= 0) {
            finished = true;
            if (got < 0)
                error = file.errorString();
            return false;
        }
        held += size_t(got);
        return true;
    }

    QFile &file;
    size_t capacity = Capacity;
    std::unique_ptr<char[]> buffer{new char[Capacity]};
    qint64 base = 0; // the file offset of buffer[0]
    size_t held = 0;
    qint64 released = 0;
    bool finished = false;
    QString error;
};

// Walks the document's outer object and the "release_limits" array itself
// and hands each value inside them to a parser on its own, so no parser ever
// holds the whole document. The document is accepted exactly when Qt's parser
// would accept it: the outer grammar is checked here, and every value that
// simdjson refuses or might read differently is judged by Qt's parser. A
// refusal names the parser's reason and the byte where it arose.
class ZoneStream {
public:
    ZoneStream(ChunkedFile &source, std::vector<NoFlyZone> &zones)
        : source(source)
        , zones(zones) {
        // Without its buffers simdjson cannot help; Qt's parser then reads every element.
        simdjsonReady = parsers[0].allocate(1 << 16, MaxElementDepth) == simdjson::SUCCESS &&
                        parsers[1].allocate(1 << 16, MaxElementDepth) == simdjson::SUCCESS;
        converter.setMaxThreadCount(1);
    }

    // False when the document is broken or not an object; error() says why.
    bool read() {
        const bool ok = readDocument();
        converter.waitForDone();
        return ok;
    }

    const QString &error() const { return failure; }

private:
    bool readDocument() {
        if (source.reach(2) && std::memcmp(source.data(0), "\xEF\xBB\xBF", 3) == 0)
            p = 3;
        skipSpace();
        if (peek() != '{')
            return fail(QStringLiteral("the document is not an object"), p);
        ++p;
        skipSpace();
        if (peek() == '}') {
            ++p;
        } else {
            for (;;) {
                if (peek() != '"')
                    return fail(QJsonParseError::UnterminatedObject, p);
                const qint64 keyEnd = valueEnd(p);
                bool isLimits = false;
                if (keyEnd < 0 || !keyIsLimits(p, keyEnd, isLimits))
                    return false;
                p = keyEnd;
                skipSpace();
                if (peek() != ':')
                    return fail(QJsonParseError::MissingNameSeparator, p);
                ++p;
                skipSpace();
                // A repeated member counts with its last value, as with Qt's parser.
                if (isLimits) {
                    converter.waitForDone();
                    zones.clear();
                }
                if (isLimits && peek() == '[') {
                    if (!readLimits())
                        return false;
                } else {
                    const qint64 memberEnd = valueEnd(p);
                    if (memberEnd < 0 || !judgedByQt(p, memberEnd))
                        return false;
                    p = memberEnd;
                }
                skipSpace();
                const int next = peek();
                if (next == '}') {
                    ++p;
                    break;
                }
                if (next != ',')
                    return fail(QJsonParseError::UnterminatedObject, p);
                ++p;
                skipSpace();
            }
        }
        skipSpace();
        return peek() < 0 || fail(QJsonParseError::GarbageAtEnd, p);
    }

    // Deeper elements go to Qt's parser, which counts its own nesting limit.
    static constexpr size_t MaxElementDepth = 512;
    static constexpr qint64 BatchBytes = 1 << 20;
    // A zone takes a few hundred bytes; one value beyond this bound would
    // only make the reader hold it, and Qt's parser build it, whole.
    static constexpr qint64 MaxValueBytes = 4 << 20;

    // The next byte, or -1 at the end of the file.
    int peek() { return source.reach(p) ? static_cast<unsigned char>(source.at(p)) : -1; }

    // Whatever lies before the next token is read and done with.
    void skipSpace() {
        for (;;) {
            source.release(p);
            if (!source.reach(p) || !isSpace(source.at(p)))
                return;
            ++p;
        }
    }

    bool fail(const QString &message, qint64 offset) {
        if (failure.isEmpty())
            failure = message + QStringLiteral(" at byte ") + QString::number(offset);
        return false;
    }
    bool fail(QJsonParseError::ParseError code, qint64 offset) {
        QJsonParseError error;
        error.error = code;
        return fail(error.errorString(), offset);
    }
    // Qt's error within "prefix + [from, to) + suffix", placed in the file.
    bool fail(const QJsonParseError &error, qint64 from, qint64 to, int prefix) {
        return fail(error.errorString(),
                    from + std::clamp(qint64(error.offset) - prefix, qint64(0), to - from));
    }

    // The end of the value that starts at from, found by counting brackets
    // outside strings; -1 if the file ends first. Whether the value is well
    // formed is for a parser to judge.
    qint64 valueEnd(qint64 from) {
        qint64 q = from;
        const int first = source.reach(from) ? source.at(from) : -1;
        if (first != '"' && first != '{' && first != '[') {
            while (source.reach(q) && q - from <= MaxValueBytes) {
                const char c = source.at(q);
                if (isSpace(c) || c == ',' || c == '}' || c == ']' || c == ':')
                    break;
                ++q;
            }
            return q == from ? failed(QJsonParseError::IllegalValue, from) : tooLarge(from, q);
        }
        int depth = 0;
        while (source.reach(q) && q - from <= MaxValueBytes) {
            const char c = source.at(q++);
            if (c == '"') {
                while (source.reach(q) && source.at(q) != '"') {
                    if (source.at(q) == '\\' && !source.reach(++q))
                        break;
                    ++q;
                }
                if (!source.reach(q))
                    return failed(QJsonParseError::UnterminatedString, q);
                ++q;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                --depth;
            }
            if (depth <= 0)
                return tooLarge(from, q);
        }
        if (q - from > MaxValueBytes)
            return tooLarge(from, q);
        return failed(first == '[' ? QJsonParseError::UnterminatedArray
                                   : QJsonParseError::UnterminatedObject,
                      q);
    }
    qint64 failed(QJsonParseError::ParseError code, qint64 offset) {
        fail(code, offset);
        return -1;
    }
    qint64 tooLarge(qint64 from, qint64 to) {
        if (to - from <= MaxValueBytes)
            return to;
        fail(QStringLiteral("a value over %1 MiB").arg(MaxValueBytes >> 20), from);
        return -1;
    }

    bool keyIsLimits(qint64 from, qint64 to, bool &isLimits) {
        const std::string_view text(source.data(from) + 1, size_t(to - from - 2));
        const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
            return c == '\\' || static_cast<unsigned char>(c) < 0x20 ||
                   static_cast<unsigned char>(c) >= 0x80;
        });
        if (plain) {
            isLimits = text == "release_limits";
            return true;
        }
        QJsonParseError error;
        const QJsonDocument key = QJsonDocument::fromJson(
            QByteArray("[") + QByteArray::fromRawData(source.data(from), int(to - from)) + "]",
            &error);
        if (error.error != QJsonParseError::NoError)
            return fail(error, from, to, 1);
        isLimits = key.array().at(0).toString() == QLatin1String("release_limits");
        return true;
    }

    // Qt's verdict on one value, nested as deep as it sits in the document.
    QJsonValue parseWithQt(qint64 from, qint64 to, bool &ok) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(
            QByteArray("[[") + QByteArray::fromRawData(source.data(from), int(to - from)) + "]]",
            &error);
        ok = error.error == QJsonParseError::NoError || fail(error, from, to, 2);
        return document.array().at(0).toArray().at(0);
    }

    bool judgedByQt(qint64 from, qint64 to) {
        bool ok = false;
        parseWithQt(from, to, ok);
        return ok;
    }

    bool readLimits() {
        ++p;
        skipSpace();
        if (peek() == ']') {
            ++p;
            return true;
        }
        // Until p passes this point, elements are read one by one.
        qint64 slowUntil = p;
        for (;;) {
            if (p >= slowUntil) {
                const qint64 cut = batchEnd(slowUntil);
                if (cut >= 0 && readBatch(p, cut))
                    p = cut;
                else if (cut >= 0)
                    slowUntil = cut;
            }
            if (p < slowUntil) {
                const qint64 elementEnd = valueEnd(p);
                if (elementEnd < 0 || !readElement(p, elementEnd))
                    return false;
                p = elementEnd;
            }
            skipSpace();
            const int next = peek();
            if (next == ']') {
                ++p;
                return true;
            }
            if (next != ',')
                return fail(QJsonParseError::UnterminatedArray, p);
            ++p;
            skipSpace();
        }
    }

    // Where a batch of elements from p could end: the comma of the first
    // "}, {" past a megabyte, looked for in the next megabyte only, so the
    // buffer stays small. It may lie inside a string; then the batch fails to
    // parse and its elements are read one by one. Without a cut, until says
    // how far elements are read one by one: to the end when less than two
    // megabytes remain.
    qint64 batchEnd(qint64 &until) {
        const qint64 last = p + 2 * BatchBytes;
        if (!source.reach(last - 1)) {
            until = std::numeric_limits<qint64>::max();
            return -1;
        }
        const auto spaceFrom = [this, last](qint64 q) {
            while (q < last && isSpace(source.at(q)))
                ++q;
            return q;
        };
        for (qint64 q = p + BatchBytes; q + 1 < last; ++q) {
            if (source.at(q) != '}')
                continue;
            const qint64 comma = spaceFrom(q + 1);
            if (comma == last || source.at(comma) != ',')
                continue;
            const qint64 next = spaceFrom(comma + 1);
            if (next != last && source.at(next) == '{')
                return comma;
        }
        until = last;
        return -1;
    }

    // The bytes [from, to) with simdjson's padding after them.
    const char *padded(qint64 from, qint64 to, const char *before, const char *after) {
        const size_t length = size_t(to - from);
        const size_t extra = std::strlen(before) + std::strlen(after);
        if (scratch.size() < length + extra + simdjson::SIMDJSON_PADDING)
            scratch.resize(length + extra + simdjson::SIMDJSON_PADDING);
        char *out = scratch.data();
        out = std::copy(before, before + std::strlen(before), out);
        out = std::copy(source.data(from), source.data(to), out);
        std::copy(after, after + std::strlen(after), out);
        return scratch.data();
    }

    // Parses [from, to) as the inside of one array. If simdjson accepts it,
    // it is a list of whole elements, tokenised as the document would be.
    // The zones of an accepted batch are taken out on the converter's thread
    // while this one cuts and parses the next batch into the other parser.
    bool readBatch(qint64 from, qint64 to) {
        if (!simdjsonReady)
            return false;
        const char *text = padded(from, to, "[", "]");
        simdjson::dom::array batch;
        if (parsers[idle].parse(text, size_t(to - from) + 2, false).get(batch) != simdjson::SUCCESS)
            return false;
        for (const simdjson::dom::element element : batch) {
            if (!readsAsQtDoes(element))
                return false;
        }
        // One batch at a time, so the zones keep the file's order.
        converter.waitForDone();
        converter.start(QRunnable::create([this, batch]() {
            for (const simdjson::dom::element element : batch) {
                simdjson::dom::object object;
                NoFlyZone zone;
                if (element.get(object) == simdjson::SUCCESS &&
                    readZone(SimdZoneFields(object, cities), zone))
                    zones.push_back(std::move(zone));
            }
        }));
        idle ^= 1;
        return true;
    }

    bool readElement(qint64 from, qint64 to) {
        // The batch before this element goes first; then both parsers are free.
        converter.waitForDone();
        simdjson::dom::element element;
        if (!simdjsonReady ||
            parsers[idle].parse(padded(from, to, "", ""), size_t(to - from), false).get(element) !=
                simdjson::SUCCESS ||
            !readsAsQtDoes(element)) {
            bool ok = false;
            const QJsonValue value = parseWithQt(from, to, ok);
            if (!ok)
                return false;
            NoFlyZone zone;
            if (readZone(JsonZoneFields(value.toObject()), zone))
                zones.push_back(std::move(zone));
            return true;
        }
        simdjson::dom::object object;
        // An element that is not an object reads as an empty one: no radius, no zone.
        if (element.get(object) != simdjson::SUCCESS)
            return true;
        NoFlyZone zone;
        if (readZone(SimdZoneFields(object, cities), zone))
            zones.push_back(std::move(zone));
        return true;
    }

    // Qt's parser refuses a number that underflows, which simdjson reads as
    // 0 or a tiny value; such elements are left to Qt.
    static bool readsAsQtDoes(const simdjson::dom::element &element) {
        switch (element.type()) {
        case simdjson::dom::element_type::DOUBLE: {
            const double value = double(element);
            return std::isnormal(value);
        }
        case simdjson::dom::element_type::ARRAY:
            for (const simdjson::dom::element item : simdjson::dom::array(element))
                if (!readsAsQtDoes(item))
                    return false;
            return true;
        case simdjson::dom::element_type::OBJECT:
            for (const simdjson::dom::key_value_pair field : simdjson::dom::object(element))
                if (!readsAsQtDoes(field.value))
                    return false;
            return true;
        default:
            return true;
        }
    }

    ChunkedFile &source;
    qint64 p = 0; // the file offset being read
    std::vector<NoFlyZone> &zones;
    // A parser's document holds its own copy of every string, so scratch is
    // free again once a parse returns.
    simdjson::dom::parser parsers[2];
    int idle = 0; // the parser no conversion is reading from
    bool simdjsonReady = false;
    std::vector<char> scratch;
    TextCache cities;
    QString failure;
    // Last, so it is destroyed, and its thread done, before all it reads.
    QThreadPool converter;
};

} // namespace

Result<std::vector<NoFlyZone>> NoFlyZoneFile::read(const QString &path) {
    using Zones = Result<std::vector<NoFlyZone>>;
    // Non-blocking, so that a FIFO cannot hold the load waiting for a
    // writer; anything but a regular file is then refused.
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        const int cause = errno;
        return Zones::failure(cause == ENOENT ? QStringLiteral("no zone file at ") + path
                                              : QStringLiteral("cannot open ") + path +
                                                    QStringLiteral(": ") + qt_error_string(cause));
    }
    QFile file;
    if (!file.open(descriptor, QIODevice::ReadOnly | QIODevice::Unbuffered,
                   QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return Zones::failure(QStringLiteral("cannot open ") + path);
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
        return Zones::failure(path + QStringLiteral(" is not a regular file"));

    // Entries run to some 200 bytes; reserved pages cost nothing until used.
    constexpr qint64 MostReserved = 1 << 22;
    std::vector<NoFlyZone> zones;
    zones.reserve(size_t(std::min<qint64>(status.st_size / 100, MostReserved)));
    ChunkedFile source(file);
    ZoneStream stream(source, zones);
    const bool parsed = stream.read();
    if (!source.readError().isEmpty())
        return Zones::failure(QStringLiteral("cannot read ") + path + QStringLiteral(": ") +
                              source.readError());
    if (!parsed)
        return Zones::failure(path + QStringLiteral(": ") + stream.error());
    // A file cut and rewritten in place under the reader can read as a whole
    // document that lacks a stretch of zones; it is refused, not half loaded.
    struct stat after {};
    if (::fstat(descriptor, &after) != 0 || after.st_size != status.st_size ||
        after.st_mtim.tv_sec != status.st_mtim.tv_sec ||
        after.st_mtim.tv_nsec != status.st_mtim.tv_nsec ||
        after.st_ctim.tv_sec != status.st_ctim.tv_sec ||
        after.st_ctim.tv_nsec != status.st_ctim.tv_nsec)
        return Zones::failure(path + QStringLiteral(" changed while it was read"));
    sortByLatitude(zones);
    return Zones::success(std::move(zones));
}

void NoFlyZoneFile::sortByLatitude(std::vector<NoFlyZone> &zones) {
    // std::sort needs a strict order, which < alone is not once a value is not a number.
    std::sort(zones.begin(), zones.end(), [](const NoFlyZone &left, const NoFlyZone &right) {
        return left.latitude < right.latitude ||
               (!std::isnan(left.latitude) && std::isnan(right.latitude));
    });
}

bool NoFlyZoneFile::readZone(const QJsonObject &entry, NoFlyZone &zone) {
    return ::readZone(JsonZoneFields(entry), zone);
}
