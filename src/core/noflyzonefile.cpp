#include "noflyzonefile.h"

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QtMath>

#include <simdjson.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
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

// Text that names no finite angle reads as 0, so a bad entry cannot upset
// the latitude order.
double radiansFromDegrees(bool ok, double degrees) {
    const double radians = ok ? degrees * M_PI / 180.0 : 0.0;
    return std::isfinite(radians) ? radians : 0.0;
}

double radiansFromText(const QString &text) {
    bool ok = false;
    const double degrees = text.toDouble(&ok);
    return radiansFromDegrees(ok, degrees);
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
class TextCache {
public:
    QString text(std::string_view view) {
        const QByteArray key = QByteArray::fromRawData(view.data(), int(view.size()));
        const auto known = texts.constFind(key);
        if (known != texts.constEnd())
            return *known;
        if (texts.size() >= Limit)
            texts.clear();
        QString text = QString::fromUtf8(view.data(), int(view.size()));
        texts.insert(QByteArray(view.data(), int(view.size())), text);
        return text;
    }

private:
    static constexpr int Limit = 1 << 16;
    QHash<QByteArray, QString> texts;
};

Key keyOf(std::string_view name) {
    for (int key = 0; key < KeyCount; ++key) {
        if (KeyNames[key] == name)
            return Key(key);
    }
    return KeyCount;
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
            return radiansFromDegrees(true, degrees);
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

void sortByLatitude(std::vector<NoFlyZone> &zones) {
    std::sort(zones.begin(), zones.end(), [](const NoFlyZone &left, const NoFlyZone &right) {
        return left.latitude < right.latitude;
    });
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Walks the document's outer object and the "release_limits" array itself
// and hands each value inside them to a parser on its own, so no parser ever
// holds the whole document. The document is accepted exactly when Qt's parser
// would accept it: the outer grammar is checked here, and every value that
// simdjson refuses or might read differently is judged by Qt's parser.
class ZoneStream {
public:
    ZoneStream(const char *begin, const char *end, bool mapped, std::vector<NoFlyZone> &zones)
        : mapped(mapped)
        , base(begin)
        , p(begin)
        , end(end)
        , zones(zones) {
        // Without its buffers simdjson cannot help; Qt's parser then reads every element.
        simdjsonReady = parser.allocate(1 << 16, MaxElementDepth) == simdjson::SUCCESS;
    }

    // False when the document is broken or not an object.
    bool read() {
        if (end - p >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0)
            p += 3;
        skipSpace();
        if (p == end || *p != '{')
            return false;
        ++p;
        skipSpace();
        if (p != end && *p == '}') {
            ++p;
        } else {
            for (;;) {
                const char *keyEnd = p != end && *p == '"' ? valueEnd(p) : nullptr;
                if (!keyEnd)
                    return false;
                bool isLimits = false;
                if (!keyIsLimits(p, keyEnd, isLimits))
                    return false;
                p = keyEnd;
                skipSpace();
                if (p == end || *p != ':')
                    return false;
                ++p;
                skipSpace();
                // A repeated member counts with its last value, as with Qt's parser.
                if (isLimits)
                    zones.clear();
                if (isLimits && p != end && *p == '[') {
                    if (!readLimits())
                        return false;
                } else {
                    const char *memberEnd = valueEnd(p);
                    if (!memberEnd || !validForQt(p, memberEnd))
                        return false;
                    p = memberEnd;
                }
                skipSpace();
                if (p == end)
                    return false;
                if (*p == '}') {
                    ++p;
                    break;
                }
                if (*p != ',')
                    return false;
                ++p;
                skipSpace();
            }
        }
        skipSpace();
        return p == end;
    }

private:
    // Deeper elements go to Qt's parser, which counts its own nesting limit.
    static constexpr size_t MaxElementDepth = 512;

    void skipSpace() {
        while (p != end && isSpace(*p))
            ++p;
    }

    // The end of the value that starts at from, found by counting brackets
    // outside strings; nullptr if the text ends first. Whether the value is
    // well formed is for a parser to judge.
    const char *valueEnd(const char *from) const {
        const char *q = from;
        if (q == end)
            return nullptr;
        if (*q != '"' && *q != '{' && *q != '[') {
            while (q != end && !isSpace(*q) && *q != ',' && *q != '}' && *q != ']' && *q != ':')
                ++q;
            return q == from ? nullptr : q;
        }
        int depth = 0;
        while (q != end) {
            const char c = *q++;
            if (c == '"') {
                while (q != end && *q != '"') {
                    if (*q == '\\' && ++q == end)
                        return nullptr;
                    ++q;
                }
                if (q == end)
                    return nullptr;
                ++q;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                --depth;
            }
            if (depth <= 0)
                return q;
        }
        return nullptr;
    }

    bool keyIsLimits(const char *from, const char *to, bool &isLimits) const {
        const std::string_view text(from + 1, size_t(to - from - 2));
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
            QByteArray("[") + QByteArray::fromRawData(from, int(to - from)) + "]", &error);
        if (error.error != QJsonParseError::NoError)
            return false;
        isLimits = key.array().at(0).toString() == QLatin1String("release_limits");
        return true;
    }

    // Qt's verdict on one value, nested as deep as it sits in the document.
    static QJsonValue parseWithQt(const char *from, const char *to, bool &ok) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(
            QByteArray("[[") + QByteArray::fromRawData(from, int(to - from)) + "]]", &error);
        ok = error.error == QJsonParseError::NoError;
        return document.array().at(0).toArray().at(0);
    }

    static bool validForQt(const char *from, const char *to) {
        bool ok = false;
        parseWithQt(from, to, ok);
        return ok;
    }

    bool readLimits() {
        ++p;
        skipSpace();
        if (p != end && *p == ']') {
            ++p;
            return true;
        }
        // Until p passes this point, elements are read one by one.
        const char *slowUntil = p;
        for (;;) {
            if (p >= slowUntil) {
                const char *cut = batchEnd();
                if (cut && readBatch(p, cut)) {
                    p = cut;
                    releaseReadPages();
                } else {
                    slowUntil = cut ? cut : end;
                }
            }
            if (p < slowUntil) {
                const char *elementEnd = valueEnd(p);
                if (!elementEnd || !readElement(p, elementEnd))
                    return false;
                p = elementEnd;
                releaseReadPages();
            }
            skipSpace();
            if (p == end)
                return false;
            if (*p == ']') {
                ++p;
                return true;
            }
            if (*p != ',')
                return false;
            ++p;
            skipSpace();
        }
    }

    // Where a batch of elements from p could end: the comma of the first
    // "}, {" past a megabyte. It may lie inside a string; then the batch
    // fails to parse and its elements are read one by one.
    const char *batchEnd() const {
        constexpr ptrdiff_t BatchBytes = 1 << 20;
        if (end - p < 2 * BatchBytes)
            return nullptr;
        for (const char *q = p + BatchBytes; q + 1 < end; ++q) {
            if (*q != '}')
                continue;
            const char *comma = q + 1;
            while (comma != end && isSpace(*comma))
                ++comma;
            if (comma == end || *comma != ',')
                continue;
            const char *next = comma + 1;
            while (next != end && isSpace(*next))
                ++next;
            if (next != end && *next == '{')
                return comma;
        }
        return nullptr;
    }

    // Parses [from, to) as the inside of one array. If simdjson accepts it,
    // it is a list of whole elements, tokenised as the document would be.
    bool readBatch(const char *from, const char *to) {
        const size_t length = size_t(to - from) + 2;
        if (!simdjsonReady)
            return false;
        if (scratch.size() < length + simdjson::SIMDJSON_PADDING)
            scratch.resize(length + simdjson::SIMDJSON_PADDING);
        scratch[0] = '[';
        std::memcpy(scratch.data() + 1, from, length - 2);
        scratch[length - 1] = ']';
        simdjson::dom::array batch;
        if (parser.parse(scratch.data(), length, false).get(batch) != simdjson::SUCCESS)
            return false;
        for (const simdjson::dom::element element : batch) {
            if (!readsAsQtDoes(element))
                return false;
        }
        for (const simdjson::dom::element element : batch) {
            simdjson::dom::object object;
            NoFlyZone zone;
            if (element.get(object) == simdjson::SUCCESS &&
                readZone(SimdZoneFields(object, cities), zone))
                zones.push_back(std::move(zone));
        }
        return true;
    }

    bool readElement(const char *from, const char *to) {
        const size_t length = size_t(to - from);
        if (scratch.size() < length + simdjson::SIMDJSON_PADDING)
            scratch.resize(length + simdjson::SIMDJSON_PADDING);
        std::memcpy(scratch.data(), from, length);
        simdjson::dom::element element;
        if (!simdjsonReady ||
            parser.parse(scratch.data(), length, false).get(element) != simdjson::SUCCESS ||
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

    // Mapped pages already read are handed back now and then, so a large
    // file does not stay resident while the zones grow.
    void releaseReadPages() {
        static const size_t page = size_t(sysconf(_SC_PAGESIZE));
        constexpr size_t Stride = 16 << 20;
        const size_t done = size_t(p - base) / page * page;
        if (!mapped || done < released + Stride)
            return;
        madvise(const_cast<char *>(base) + released, done - released, MADV_DONTNEED);
        released = done;
    }

    const bool mapped;
    const char *base;
    const char *p;
    const char *end;
    std::vector<NoFlyZone> &zones;
    simdjson::dom::parser parser;
    bool simdjsonReady = false;
    std::vector<char> scratch;
    TextCache cities;
    size_t released = 0;
};

} // namespace

Result<std::vector<NoFlyZone>> NoFlyZoneFile::read(const QString &path) {
    using Zones = Result<std::vector<NoFlyZone>>;
    if (!QFile::exists(path))
        return Zones::failure(QStringLiteral("no zone file at ") + path);

    QFile file(path);
    QByteArray content;
    const char *begin = nullptr;
    qint64 size = 0;
    bool mapped = false;
    if (file.open(QIODevice::ReadOnly)) {
        size = file.size();
        if (uchar *data = size > 0 ? file.map(0, size) : nullptr) {
            begin = reinterpret_cast<const char *>(data);
            mapped = true;
            madvise(data, size_t(size), MADV_SEQUENTIAL);
        } else {
            content = file.readAll();
            begin = content.constData();
            size = content.size();
        }
    }
    if (!begin)
        begin = "";

    // Entries run to some 200 bytes; reserved pages cost nothing until used.
    std::vector<NoFlyZone> zones;
    zones.reserve(size_t(size) / 100);
    ZoneStream stream(begin, begin + size, mapped, zones);
    if (!stream.read())
        return Zones::failure(path + QStringLiteral(" is not a zone file"));
    sortByLatitude(zones);
    return Zones::success(std::move(zones));
}

bool NoFlyZoneFile::readZone(const QJsonObject &entry, NoFlyZone &zone) {
    return ::readZone(JsonZoneFields(entry), zone);
}
