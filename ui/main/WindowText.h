#pragma once

#include <QString>

#include <string>

namespace tralux {

// Texts below the window are UTF-8.
inline std::string Std(const QString& text) {
    return text.toUtf8().toStdString();
}

inline QString Qt8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace tralux
