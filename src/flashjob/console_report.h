#pragma once
// What a device object's console text (its update messages: HTML fragments with terminal
// colour sequences, one byte per character) and its error log lines say about a job: the
// first error worth showing in a summary.

#include <QByteArray>
#include <QString>
#include <QStringList>

class ConsoleReport {
public:
    void addConsole(const QByteArray &bytes);
    void addLogError(const QString &line);

    // The first red console line that names a cause; else the first error log line; else the
    // closing red line of a failed update; empty when there was none.
    QString firstError() const;
    // The console text without markup, for the verbose log.
    QString plainText() const { return m_Plain; }

private:
    void takeLine(const QString &line);

    QByteArray m_Pending;  // a line not yet ended
    QString m_Plain;
    QStringList m_RedLines;
    QStringList m_LogErrors;
};

// Markup and colour sequences taken out, character references resolved.
QString consolePlain(const QString &html);
// A friendlier reading of the sequence's failure text, the original kept in brackets.
QString explainFailure(const QString &text);
