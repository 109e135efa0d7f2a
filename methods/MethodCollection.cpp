#include "methods/MethodCollection.h"

#include "methods/MethodLibrary.h"

#include <QFile>
#include <QXmlStreamReader>

#include <optional>

namespace {

// The properties a methodSet shares and a method may override.
struct TProperties {
    std::optional<int> Stage;
    QString Classification;
    QString LeadHead;
    int LengthOfLead = 0;
};

class TReader {
public:
    explicit TReader(QIODevice& device) : FXml(&device) {}

    int Skipped() const { return FSkipped; }

    bool Read(std::vector<TCollectionMethod>& methods, QString* error) {
        if (!ReadRoot(methods)) {
            if (error) *error = FError;
            return false;
        }
        return true;
    }

private:
    bool Fail(const QString& message, qint64 line = -1) {
        FError = QStringLiteral("line %1: %2").arg(line < 0 ? FXml.lineNumber() : line).arg(message);
        return false;
    }

    bool XmlFailed() {
        if (!FXml.hasError()) return false;
        FError = QStringLiteral("line %1: %2").arg(FXml.lineNumber()).arg(FXml.errorString());
        return true;
    }

    bool ReadRoot(std::vector<TCollectionMethod>& methods) {
        if (!FXml.readNextStartElement()) {
            if (XmlFailed()) return false;
            return Fail(QStringLiteral("no <collection> element: not a method collection"));
        }
        if (FXml.name() != u"collection" || FXml.namespaceUri() != QLatin1String(kMethodCollectionNamespace))
            return Fail(QStringLiteral("<%1> is not a method collection's <collection> in namespace %2")
                            .arg(FXml.qualifiedName().toString(), QLatin1String(kMethodCollectionNamespace)));
        while (FXml.readNextStartElement()) {
            if (FXml.name() == u"methodSet") {
                if (!ReadMethodSet(methods)) return false;
            } else {
                FXml.skipCurrentElement();
            }
        }
        if (XmlFailed()) return false;
        // Anything after the root is an error the reader reports at the end.
        while (!FXml.atEnd()) FXml.readNext();
        return !XmlFailed();
    }

    // A property element into Into; false on an unreadable value.
    bool ReadProperty(TProperties& into) {
        const auto name = FXml.name();
        const qint64 line = FXml.lineNumber();
        if (name == u"stage") {
            const QString text = FXml.readElementText().trimmed();
            bool ok = false;
            const int stage = text.toInt(&ok);
            // Stages beyond our bells are a method we pass by, not damage.
            if (!ok || stage < 1)
                return Fail(QStringLiteral("stage \"%1\" is not a number of bells").arg(text), line);
            into.Stage = stage;
        } else if (name == u"classification") {
            into.Classification = FXml.readElementText().trimmed();
        } else if (name == u"leadHead") {
            into.LeadHead = FXml.readElementText().trimmed();
        } else if (name == u"lengthOfLead") {
            into.LengthOfLead = FXml.readElementText().trimmed().toInt();
        } else {
            FXml.skipCurrentElement();
        }
        return !XmlFailed();
    }

    bool ReadMethodSet(std::vector<TCollectionMethod>& methods) {
        TProperties shared;
        while (FXml.readNextStartElement()) {
            if (FXml.name() == u"properties") {
                while (FXml.readNextStartElement())
                    if (!ReadProperty(shared)) return false;
                if (XmlFailed()) return false;
            } else if (FXml.name() == u"method") {
                if (!ReadMethod(shared, methods)) return false;
            } else {
                FXml.skipCurrentElement();
            }
        }
        return !XmlFailed();
    }

    bool ReadMethod(const TProperties& shared, std::vector<TCollectionMethod>& methods) {
        const qint64 line = FXml.lineNumber();
        TProperties own = shared;
        TCollectionMethod method;
        method.Line = static_cast<int>(line);
        bool hasNotation = false;
        qint64 notationLine = line;
        while (FXml.readNextStartElement()) {
            const auto name = FXml.name();
            if (name == u"title") {
                method.Title = FXml.readElementText().simplified();
            } else if (name == u"name") {
                method.Name = FXml.readElementText().simplified();
            } else if (name == u"notation") {
                notationLine = FXml.lineNumber();
                method.Notation = FXml.readElementText().trimmed();
                hasNotation = true;
            } else if (name == u"stage" || name == u"classification" || name == u"leadHead" ||
                       name == u"lengthOfLead") {
                if (!ReadProperty(own)) return false;
            } else {
                FXml.skipCurrentElement();
            }
        }
        if (XmlFailed()) return false;
        const QString which =
            method.Title.isEmpty() ? QStringLiteral("a method") : QStringLiteral("\"%1\"").arg(method.Title);
        if (!own.Stage) return Fail(QStringLiteral("%1 has no stage").arg(which), line);
        if (method.Title.isEmpty()) return Fail(QStringLiteral("a method has no title"), line);
        if (!hasNotation || method.Notation.isEmpty())
            return Fail(QStringLiteral("%1 has no notation").arg(which), line);
        method.Stage = *own.Stage;
        if (method.Stage < kMinStage || method.Stage > kMaxStage) {
            ++FSkipped;
            return true;
        }
        method.Classification = own.Classification;
        method.LeadHead = own.LeadHead;
        method.LengthOfLead = own.LengthOfLead;
        try {
            ParsePlaceNotation(method.Notation, method.Stage);
        } catch (const EPlaceNotation& e) {
            return Fail(QStringLiteral("%1: notation \"%2\": %3").arg(which, method.Notation, e.Message()),
                        notationLine);
        }
        methods.push_back(std::move(method));
        return true;
    }

    QXmlStreamReader FXml;
    QString FError;
    int FSkipped = 0;
};

}  // namespace

TMethod TCollectionMethod::ToMethod() const {
    const std::vector<TChange> lead = ParsePlaceNotation(Notation, Stage);
    return TMethod(Title, Stage, Notation, GuessCallFamily(Title, Stage, lead));
}

bool TMethodCollection::LoadFromFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) *error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    return Load(file, error);
}

bool TMethodCollection::Load(QIODevice& device, QString* error) {
    std::vector<TCollectionMethod> methods;
    TReader reader(device);
    if (!reader.Read(methods, error)) return false;
    QHash<QString, int> byKey;
    std::vector<QString> keys;
    keys.reserve(methods.size());
    byKey.reserve(static_cast<qsizetype>(methods.size()));
    for (int i = 0; i < static_cast<int>(methods.size()); ++i) {
        keys.push_back(MethodNameKey(methods[i].Title));
        if (!byKey.contains(keys.back())) byKey.insert(keys.back(), i);
    }
    FMethods = std::move(methods);
    FByKey = std::move(byKey);
    FKeys = std::move(keys);
    FSkipped = reader.Skipped();
    return true;
}

const TCollectionMethod* TMethodCollection::Find(const QString& name) const {
    const auto it = FByKey.find(MethodNameKey(name));
    return it == FByKey.end() ? nullptr : &FMethods[*it];
}

QStringList TMethodCollection::Search(const QString& name, int limit) const {
    const QString key = MethodNameKey(name);
    QStringList titles;
    for (std::size_t i = 0; i < FMethods.size() && titles.size() < limit; ++i)
        if (MethodNameMatches(key, FKeys[i])) titles << FMethods[i].Title;
    return titles;
}
