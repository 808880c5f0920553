<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Creator</name>
    <message>
        <source>Program started</source>
        <translation>Programm gestartet</translation>
    </message>
</context>
<context>
    <name>MyHttpRequestHandler</name>
    <message>
        <source>User doesn&apos;t have required privilege</source>
        <translation>Der Benutzer hat nicht die erforderliche Berechtigung</translation>
    </message>
</context>
<context>
    <name>TrayMenu</name>
    <message>
        <source>Listening port modification</source>
        <translation>Änderung des Empfangsports</translation>
    </message>
    <message>
        <source>New listening port:</source>
        <translation>Neuer Empfangsport:</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
    <message>
        <source>Program is running.</source>
        <translation>Das Programm läuft.</translation>
    </message>
    <message>
        <source>Program is listening on port: </source>
        <translation>Das Programm lauscht auf Port: </translation>
    </message>
    <message>
        <source>Error!</source>
        <translation>Fehler!</translation>
    </message>
    <message>
        <source>Cannot bind on port: </source>
        <translation>Port kann nicht belegt werden: </translation>
    </message>
    <message>
        <source>. Port already in use!</source>
        <translation>. Der Port wird bereits verwendet!</translation>
    </message>
    <message>
        <source>&amp;Launch browser</source>
        <translation>&amp;Browser starten</translation>
    </message>
    <message>
        <source>&amp;Copy IP address to clipboard</source>
        <translation>IP-Adresse in die Zwischenablage &amp;kopieren</translation>
    </message>
    <message>
        <source>&amp;Change listening port</source>
        <translation>Empfangsport ä&amp;ndern</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>&amp;Über</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>B&amp;eenden</translation>
    </message>
</context>
</TS>
