#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <variant>

namespace morvane {

// One field of the current row, as the engine hands it over. Null is a state
// of its own, distinct from the empty text and from zero.
class FieldValue
{
public:
    enum class Type { Null, Integer, Real, Text, Binary };

    FieldValue() = default;
    explicit FieldValue(qint64 value) : m_value(value) {}
    explicit FieldValue(double value) : m_value(value) {}
    explicit FieldValue(QString value) : m_value(std::move(value)) {}
    explicit FieldValue(QByteArray value) : m_value(std::move(value)) {}

    [[nodiscard]] Type type() const { return static_cast<Type>(m_value.index()); }
    [[nodiscard]] bool isNull() const { return type() == Type::Null; }

    // Each accessor expects the matching type().
    [[nodiscard]] qint64 integer() const { return std::get<qint64>(m_value); }
    [[nodiscard]] double real() const { return std::get<double>(m_value); }
    [[nodiscard]] const QString &text() const { return std::get<QString>(m_value); }
    [[nodiscard]] const QByteArray &binary() const { return std::get<QByteArray>(m_value); }

    friend bool operator==(const FieldValue &, const FieldValue &) = default;

private:
    // The order of the alternatives matches Type.
    std::variant<std::monostate, qint64, double, QString, QByteArray> m_value;
};

} // namespace morvane
