#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace kl::telemetry {

/// What batch selection needs to know of a document's top level.
struct JsonOutline
{
    bool isObject = false; ///< the whole text is one well-formed JSON object
    bool hasId = false; ///< it has a top-level "_id" member
    std::optional<QString> id; ///< that member's text, when it is a string
    QString reservedMember; ///< the first top-level name other than "_id" beginning with "_"
};

/**
 * Checks that @p text is one JSON object, as QJsonDocument would accept it, and reads its
 * top-level member names and "_id" in one pass, without building the document: a record of
 * several megabytes costs a scan of its text, not a parse into a tree.
 */
JsonOutline outlineJson(QStringView text);

} // namespace kl::telemetry
