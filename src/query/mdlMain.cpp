#include "mdlMain.h"

#include <QLocale>

namespace morvane {

std::unique_ptr<Recordset> OpenQuery(Database &database, const QString &sql)
{
    return database.openRecordset(sql);
}

QStringView TextBefore(QStringView text, QStringView delimiter)
{
    const qsizetype position = text.indexOf(delimiter, 0, Qt::CaseSensitive);
    return position < 0 ? text : text.first(position);
}

QStringView TextAfter(QStringView text, QStringView delimiter)
{
    const qsizetype position = text.indexOf(delimiter, 0, Qt::CaseSensitive);
    return position < 0 ? QStringView() : text.sliced(position + delimiter.size());
}

QStringView TrimSpaces(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ')
        ++begin;
    while (end > begin && text[end - 1] == u' ')
        --end;
    return text.sliced(begin, end - begin);
}

namespace {

// A blob can be megabytes long; the grid only needs enough to recognise it.
constexpr qsizetype BinaryBytesShown = 64;

QString RealText(double value)
{
    // The user's decimal separator, but no group separators: a grid cell of
    // "1.234.567,5" is easy to misread as several numbers.
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
    // 15 significant digits is what a double holds exactly, so 0.1 + 0.2
    // shows as 0.3 rather than with its binary rounding noise.
    return locale.toString(value, 'g', 15);
}

QString BinaryText(const QByteArray &bytes)
{
    QString text = QStringLiteral("0x")
        + QString::fromLatin1(bytes.first(qMin(bytes.size(), BinaryBytesShown)).toHex().toUpper());
    if (bytes.size() > BinaryBytesShown)
        text += QStringLiteral("... (%1 bytes)").arg(bytes.size());
    return text;
}

} // namespace

QString FieldText(const FieldValue &value)
{
    switch (value.type()) {
    case FieldValue::Type::Null:
        return QStringLiteral("Null");
    case FieldValue::Type::Integer:
        return QString::number(value.integer());
    case FieldValue::Type::Real:
        return RealText(value.real());
    case FieldValue::Type::Text:
        return value.text();
    case FieldValue::Type::Binary:
        return BinaryText(value.binary());
    }
    return {};
}

bool IsPlural(qint16 count)
{
    // C++ remainders truncate toward zero, so negative counts never end in
    // 1 here and always take the plural.
    if (count % 100 == 11)
        return true;
    return count % 10 != 1;
}

} // namespace morvane
