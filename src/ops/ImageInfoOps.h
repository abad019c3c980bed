// The image-information calls as the operations make them: the XML error box
// (Text::XmlParseFailed, caption Text::Information, error icon) is shown through the progress
// dialog when an image's XML cannot be read, and a change the library refuses is logged
// (Text::ErrorReason with the error text) rather than lost silently. Called on an operation's
// worker thread; the box blocks the caller until the user has answered it.
#pragma once

#include "meta/ImageInfo.h"
#include "ops/Context.h"

// Shows the XML error box through the context's dialog (nothing when no dialog is open).
void showXmlErrorBox(OperationContext& context);

// readImageInfo of meta/ImageInfo.h with the XML error box; `info` is cleared on failure.
bool readImageInfo(OperationContext& context, HANDLE image, ImageInfo& info);
// setImageElement of meta/ImageInfo.h with the XML error box and a log line when the store
// fails. Returns true when the new text was stored.
bool setImageElement(OperationContext& context, HANDLE image, const QString& elementName,
                     const QString& value);
// storeInfoXml of meta/ImageInfo.h, logging Text::ErrorReason with the error text on failure.
bool storeInfoXml(OperationContext& context, HANDLE image, const XmlDocument& document);
