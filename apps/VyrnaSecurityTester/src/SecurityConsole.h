// The interactive part of the security console: a menu of the service's
// three methods, requests built from what the operator types (or from a
// file), one synchronous call each, and the answer printed as hexadecimal
// bytes, retrieved data also as text with an offer to save it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTextStream>
#include <cstdio>

class SecurityConsole {
public:
    SecurityConsole(FILE* input, FILE* output);

    // Runs cycles until "q" or the end of the input; the exit status is 0
    // when the last call succeeded (or none was made), else 255.
    int run();

private:
    // False at the end of the input.
    bool readLine(QString& line);
    void say(const QString& text);
    void reject(const QString& shown);

    // Each returns false at the end of the input.
    bool cycle(bool& quit);
    bool storeData();
    bool tokenRequest(const char* member);
    bool readToken(quint32& token, bool& valid);
    bool readStoreData(QByteArray& data, bool& valid);

    void call(const char* member, const QByteArray& request);
    bool showAnswer(const unsigned char* answer, int length);
    bool showRetrieved(const QByteArray& data, int answerLength);
    bool offerToSave(const QByteArray& data);

    QTextStream m_in;
    QTextStream m_out;
    char m_lastChoice = 0;
    int m_lastStatus = 0;
};
