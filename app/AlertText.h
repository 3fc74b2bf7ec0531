#pragma once

#include <QString>

class QMessageBox;

// Words from elsewhere in an alert, such as release notes or the service's messages.
namespace AlertText {

// The text as it may be shown: no control characters but line feeds and tabs, and none of the
// marks that reorder what follows them (bidi embeddings, overrides and isolates), which could
// make a text read otherwise than it is.
QString displayable(const QString &text);

// A long informative text scrolls inside the alert instead of making it taller than the
// screen and pushing its buttons out of sight.
void boundSize(QMessageBox *alert);

} // namespace AlertText
