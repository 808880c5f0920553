<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>Creator</name>
    <message>
        <source>Program started</source>
        <translation>Programme démarré</translation>
    </message>
</context>
<context>
    <name>MyHttpRequestHandler</name>
    <message>
        <source>User doesn&apos;t have required privilege</source>
        <translation>L&apos;utilisateur n&apos;a pas le privilège requis</translation>
    </message>
</context>
<context>
    <name>TrayMenu</name>
    <message>
        <source>Listening port modification</source>
        <translation>Modification du port d&apos;écoute</translation>
    </message>
    <message>
        <source>New listening port:</source>
        <translation>Nouveau port d&apos;écoute :</translation>
    </message>
    <message>
        <source>About</source>
        <translation>À propos</translation>
    </message>
    <message>
        <source>Program is running.</source>
        <translation>Le programme est en cours d&apos;exécution.</translation>
    </message>
    <message>
        <source>Program is listening on port: </source>
        <translation>Le programme écoute sur le port : </translation>
    </message>
    <message>
        <source>Error!</source>
        <translation>Erreur !</translation>
    </message>
    <message>
        <source>Cannot bind on port: </source>
        <translation>Impossible d&apos;écouter sur le port : </translation>
    </message>
    <message>
        <source>. Port already in use!</source>
        <translation>. Port déjà utilisé !</translation>
    </message>
    <message>
        <source>&amp;Launch browser</source>
        <translation>&amp;Lancer le navigateur</translation>
    </message>
    <message>
        <source>&amp;Copy IP address to clipboard</source>
        <translation>&amp;Copier l&apos;adresse IP dans le presse-papiers</translation>
    </message>
    <message>
        <source>&amp;Change listening port</source>
        <translation>C&amp;hanger le port d&apos;écoute</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>À &amp;propos</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Quitter</translation>
    </message>
</context>
</TS>
