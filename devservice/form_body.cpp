#include "form_body.h"

#include <QTextCodec>

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool decode_component(const QByteArray &in, QString *out)
{
    QByteArray bytes;
    bytes.reserve(in.size());
    for (int i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '+') {
            bytes += ' ';
        } else if (c == '%') {
            const int hi = i + 2 < in.size() ? hex_value(in[i + 1]) : -1;
            const int lo = hi >= 0 ? hex_value(in[i + 2]) : -1;
            if (lo < 0)
                return false;
            bytes += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            bytes += c;
        }
    }
    QTextCodec::ConverterState state(QTextCodec::ConvertInvalidToNull);
    *out = QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && !out->contains(QChar(0));
}

} // namespace

bool decode_form(const QByteArray &body, QHash<QString, QString> *fields)
{
    fields->clear();
    if (body.isEmpty())
        return true;
    for (const QByteArray &item : body.split('&')) {
        const int eq = item.indexOf('=');
        QString key, value;
        if (!decode_component(eq < 0 ? item : item.left(eq), &key) ||
            !decode_component(eq < 0 ? QByteArray() : item.mid(eq + 1), &value) || key.isEmpty() ||
            fields->contains(key)) {
            fields->clear();
            return false;
        }
        fields->insert(key, value);
    }
    return true;
}
