#include "ops/ImageInfoOps.h"

#include "ops/Text.h"
#include "platform/Kernel.h"

void showXmlErrorBox(OperationContext& context)
{
    dialogMessageBox(context, loadString(Text::XmlParseFailed), loadString(Text::Information),
                     MessageIcon::Error);
}

bool readImageInfo(OperationContext& context, HANDLE image, ImageInfo& info)
{
    return readImageInfo(image, info, [&context] { showXmlErrorBox(context); });
}

bool setImageElement(OperationContext& context, HANDLE image, const QString& elementName,
                     const QString& value)
{
    const InfoStoreResult result =
        setImageElement(image, elementName, value, [&context] { showXmlErrorBox(context); });
    if (result == InfoStoreResult::StoreFailed)
        logLastError(context);
    return result == InfoStoreResult::Stored;
}

bool storeInfoXml(OperationContext& context, HANDLE image, const XmlDocument& document)
{
    if (storeInfoXml(image, document))
        return true;
    logLastError(context);
    return false;
}
