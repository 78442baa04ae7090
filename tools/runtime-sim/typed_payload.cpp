#include "typed_payload.h"

#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonObject>

namespace {

int basic_type(QChar code)
{
    switch (code.toLatin1()) {
    case 'y':
        return QMetaType::UChar;
    case 'b':
        return QMetaType::Bool;
    case 'n':
        return QMetaType::Short;
    case 'q':
        return QMetaType::UShort;
    case 'i':
        return QMetaType::Int;
    case 'u':
        return QMetaType::UInt;
    case 'x':
        return QMetaType::LongLong;
    case 't':
        return QMetaType::ULongLong;
    case 'd':
        return QMetaType::Double;
    case 's':
        return QMetaType::QString;
    case 'o':
        return qMetaTypeId<QDBusObjectPath>();
    case 'g':
        return qMetaTypeId<QDBusSignature>();
    case 'v':
        return qMetaTypeId<QDBusVariant>();
    default:
        return QMetaType::UnknownType;
    }
}

void write_basic(QDBusArgument &arg, QChar code, const QJsonValue &value)
{
    // Dictionary keys come as text; numbers are read back from it.
    const double number = value.isString() ? value.toString().toDouble() : value.toDouble();
    switch (code.toLatin1()) {
    case 'y':
        arg << static_cast<uchar>(number);
        break;
    case 'b':
        arg << value.toBool();
        break;
    case 'n':
        arg << static_cast<short>(number);
        break;
    case 'q':
        arg << static_cast<ushort>(number);
        break;
    case 'i':
        arg << static_cast<int>(number);
        break;
    case 'u':
        arg << static_cast<uint>(number);
        break;
    case 'x':
        arg << static_cast<qlonglong>(number);
        break;
    case 't':
        arg << static_cast<qulonglong>(number);
        break;
    case 'd':
        arg << number;
        break;
    case 'o':
        arg << QDBusObjectPath(value.toString());
        break;
    case 'g':
        arg << QDBusSignature(value.toString());
        break;
    case 'v':
        arg << QDBusVariant(value.toVariant());
        break;
    default:
        arg << value.toString();
        break;
    }
}

class typed_writer
{
public:
    typed_writer(QDBusArgument &arg, const QString &signature) : arg(arg), sig(signature) {}

    QString write(const QJsonValue &value)
    {
        if (!write_one(value))
            return error.isEmpty() ? QStringLiteral("cannot write signature \"%1\"").arg(sig)
                                   : error;
        if (pos != sig.size())
            return QStringLiteral("\"%1\" is not one complete type").arg(sig);
        return QString();
    }

private:
    QChar next() { return pos < sig.size() ? sig.at(pos++) : QChar(); }

    bool write_one(const QJsonValue &value)
    {
        const QChar code = next();
        if (basic_type(code) != QMetaType::UnknownType) {
            write_basic(arg, code, value);
            return true;
        }
        if (code == QLatin1Char('('))
            return write_structure(value.toArray());
        if (code == QLatin1Char('a'))
            return sig.mid(pos, 1) == QLatin1String("{") ? write_map(value.toObject())
                                                         : write_array(value.toArray());
        error = QStringLiteral("unsupported type in \"%1\" at %2").arg(sig).arg(pos - 1);
        return false;
    }

    bool write_structure(const QJsonArray &items)
    {
        arg.beginStructure();
        for (int i = 0; pos < sig.size() && sig.at(pos) != QLatin1Char(')'); ++i) {
            if (!write_one(items.at(i)))
                return false;
        }
        if (next() != QLatin1Char(')'))
            return false;
        arg.endStructure();
        return true;
    }

    bool write_array(const QJsonArray &items)
    {
        const QChar element = next();
        const int type = basic_type(element);
        if (type == QMetaType::UnknownType) {
            error = QStringLiteral("arrays hold basic types or v only: \"%1\"").arg(sig);
            return false;
        }
        arg.beginArray(type);
        for (const QJsonValue &item : items)
            write_basic(arg, element, item);
        arg.endArray();
        return true;
    }

    bool write_map(const QJsonObject &entries)
    {
        ++pos; // "{"
        const QChar key = next();
        const QChar value = next();
        if (next() != QLatin1Char('}') || key == QLatin1Char('v') ||
            basic_type(key) == QMetaType::UnknownType ||
            basic_type(value) == QMetaType::UnknownType) {
            error = QStringLiteral("dictionaries are a{KV} with basic K and basic or v V: \"%1\"")
                        .arg(sig);
            return false;
        }
        arg.beginMap(basic_type(key), basic_type(value));
        for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
            arg.beginMapEntry();
            write_basic(arg, key, QJsonValue(entry.key()));
            write_basic(arg, value, entry.value());
            arg.endMapEntry();
        }
        arg.endMap();
        return true;
    }

    QDBusArgument &arg;
    const QString &sig;
    int pos = 0;
    QString error;
};

} // namespace

QString write_typed(QDBusArgument &arg, const QString &signature, const QJsonValue &value)
{
    return typed_writer(arg, signature).write(value);
}
