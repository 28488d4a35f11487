<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>ChangeLogViewer</name>
    <message>
        <source>Changelog</source>
        <translation>Änderungsprotokoll</translation>
    </message>
    <message>
        <source>Loading...</source>
        <translation>Wird geladen...</translation>
    </message>
    <message>
        <source>Failed to load changelog.</source>
        <translation>Das Änderungsprotokoll konnte nicht geladen werden.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Corvane 3 Client Update</source>
        <translation>Corvane 3 Client – Aktualisierung</translation>
    </message>
    <message>
        <source>&lt;span style=&quot;font-size:small&quot;&gt;© 2026 &lt;a href=&quot;https://www.corvane.example/&quot;&gt;Corvane Games&lt;/a&gt;&lt;/span&gt;</source>
        <translation>&lt;span style=&quot;font-size:small&quot;&gt;© 2026 &lt;a href=&quot;https://www.corvane.example/&quot;&gt;Corvane Games&lt;/a&gt;&lt;/span&gt;</translation>
    </message>
    <message>
        <source>0 KB/s</source>
        <translation>0 KB/s</translation>
    </message>
    <message>
        <source>0 KB</source>
        <translation>0 KB</translation>
    </message>
    <message>
        <source>/</source>
        <translation>/</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>View Changes</source>
        <translation>Änderungen anzeigen</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Aktualisierung starten</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Stabil</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Update to Corvane %1</source>
        <translation>Aktualisierung auf Corvane %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Sie sind derzeit auf dem &lt;strong&gt;Kanal %1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>%1 KB</source>
        <translation>%1 KB</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 KB/s</translation>
    </message>
    <message>
        <source>Start Corvane</source>
        <translation>Corvane starten</translation>
    </message>
    <message>
        <source>Restart</source>
        <translation>Neu starten</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualisierung abgebrochen</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Aktualisierung abgebrochen. Klicken Sie auf „Details“, um die Gründe zu sehen.</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Klicken, um „%1://%2“ zu öffnen</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Die Aktualisierung läuft.&lt;/p&gt;&lt;p&gt;Wollen Sie sie wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
</context>
<context>
    <name>Mirrors</name>
    <message>
        <source>There are no (more) known working mirrors available</source>
        <translation>Es sind keine (weiteren) funktionierenden Spiegelserver bekannt</translation>
    </message>
    <message>
        <source>Mirror %1 failed too many times, removing</source>
        <translation>Spiegelserver %1 ist zu oft fehlgeschlagen und wird entfernt</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Der Aktualisierungsserver hat eine ungültige Versionsnummer (%1) geliefert</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Die neueste Client-Version konnte nicht
vom Aktualisierungsserver abgefragt werden.</translation>
    </message>
</context>
</TS>
