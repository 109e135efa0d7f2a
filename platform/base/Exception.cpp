#include "platform/base/Exception.h"

#include <utility>

Exception::Exception(QString message) : FMessage(std::move(message)), FUtf8(FMessage.toStdString()) {}
