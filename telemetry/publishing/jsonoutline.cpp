#include "telemetry/publishing/jsonoutline_p.h"

namespace kl::telemetry {

namespace {

// As deep as QJsonDocument parses.
constexpr int kMaxNesting = 1024;

class Scanner
{
public:
    explicit Scanner(QStringView text)
        : m_text(text)
    {
    }

    bool topLevelObject(JsonOutline &outline)
    {
        skipSpace();
        if (!take(u'{'))
            return false;
        skipSpace();
        if (!take(u'}')) {
            do {
                if (!member(outline))
                    return false;
            } while (take(u','));
            if (!take(u'}'))
                return false;
        }
        skipSpace();
        return m_pos == m_text.size();
    }

private:
    bool member(JsonOutline &outline)
    {
        QString name;
        skipSpace();
        if (!string(&name) || !nameSeparator())
            return false;
        if (name == QLatin1String("_id")) {
            outline.hasId = true;
            QString id;
            const bool isString = peek() == u'"';
            if (!(isString ? string(&id) : value(1)))
                return false;
            outline.id = isString ? std::optional<QString>(id) : std::nullopt;
        } else {
            if (name.startsWith(QLatin1Char('_')) && outline.reservedMember.isEmpty())
                outline.reservedMember = name;
            if (!value(1))
                return false;
        }
        skipSpace();
        return true;
    }

    bool value(int depth)
    {
        if (depth > kMaxNesting)
            return false;
        switch (peek()) {
        case u'{':
            return container(u'}', depth);
        case u'[':
            return container(u']', depth);
        case u'"':
            return string(nullptr);
        case u't':
            return word(u"true");
        case u'f':
            return word(u"false");
        case u'n':
            return word(u"null");
        default:
            return number();
        }
    }

    bool container(char16_t close, int depth)
    {
        ++m_pos;
        skipSpace();
        if (take(close))
            return true;
        do {
            skipSpace();
            if (close == u'}' && (!string(nullptr) || !nameSeparator()))
                return false;
            if (!value(depth + 1))
                return false;
            skipSpace();
        } while (take(u','));
        return take(close);
    }

    bool nameSeparator()
    {
        skipSpace();
        const bool separated = take(u':');
        skipSpace();
        return separated;
    }

    // Decodes into @p text where given; a long value is only checked.
    bool string(QString *text)
    {
        if (!take(u'"'))
            return false;
        while (m_pos < m_text.size()) {
            const char16_t c = m_text[m_pos++].unicode();
            if (c == u'"')
                return true;
            if (c < 0x20)
                return false;
            if (c == u'\\' && !escape(text))
                return false;
            if (c != u'\\' && text)
                text->append(QChar(c));
        }
        return false;
    }

    bool escape(QString *text)
    {
        static constexpr char16_t kEscaped[] = u"\"\\/bfnrt";
        static constexpr char16_t kMeant[] = u"\"\\/\b\f\n\r\t";
        const char16_t c = peek();
        ++m_pos;
        for (int i = 0; kEscaped[i]; ++i) {
            if (c == kEscaped[i]) {
                if (text)
                    text->append(QChar(kMeant[i]));
                return true;
            }
        }
        if (c != u'u')
            return false;
        char16_t code = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hexDigit(peek());
            if (digit < 0)
                return false;
            code = char16_t(code * 16 + digit);
            ++m_pos;
        }
        if (text)
            text->append(QChar(code));
        return true;
    }

    static int hexDigit(char16_t c)
    {
        if (c >= u'0' && c <= u'9')
            return c - u'0';
        if (c >= u'a' && c <= u'f')
            return c - u'a' + 10;
        if (c >= u'A' && c <= u'F')
            return c - u'A' + 10;
        return -1;
    }

    bool number()
    {
        take(u'-');
        if (!take(u'0') && !digits())
            return false;
        if (take(u'.') && !digits())
            return false;
        if (take(u'e') || take(u'E')) {
            if (!take(u'+'))
                take(u'-');
            return digits();
        }
        return true;
    }

    bool digits()
    {
        const qsizetype start = m_pos;
        while (peek() >= u'0' && peek() <= u'9')
            ++m_pos;
        return m_pos > start;
    }

    bool word(QStringView expected)
    {
        if (!m_text.mid(m_pos).startsWith(expected))
            return false;
        m_pos += expected.size();
        return true;
    }

    void skipSpace()
    {
        while (peek() == u' ' || peek() == u'\t' || peek() == u'\n' || peek() == u'\r')
            ++m_pos;
    }

    bool take(char16_t c)
    {
        if (peek() != c)
            return false;
        ++m_pos;
        return true;
    }

    char16_t peek() const { return m_pos < m_text.size() ? m_text[m_pos].unicode() : 0; }

    QStringView m_text;
    qsizetype m_pos = 0;
};

} // namespace

JsonOutline outlineJson(QStringView text)
{
    JsonOutline outline;
    outline.isObject = Scanner(text).topLevelObject(outline);
    return outline;
}

} // namespace kl::telemetry
