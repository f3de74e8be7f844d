<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_GB">
<context>
    <name></name>
    <message id="launcher.about.title">
        <source>About</source>
        <translation>About Ashgrove Online</translation>
    </message>
    <message id="launcher.about.text">
        <source>About text</source>
        <extracomment>%1: first year, %2: current year, %3/%4: address of the GNU LGPL version 3 (link target and text), %5/%6: address of the Qt base source repository (link target and text)</extracomment>
        <translation>&lt;p&gt;&lt;b&gt;Ashgrove Online Launcher&lt;/b&gt;&lt;/p&gt;
&lt;p&gt;Copyright &amp;copy; %1&amp;ndash;%2 Veldan GmbH. All rights reserved.&lt;/p&gt;
&lt;p&gt;This launcher uses the Qt toolkit, which is licensed under the GNU Lesser General Public License version 3: &lt;a href=&quot;%3&quot;&gt;%4&lt;/a&gt;&lt;/p&gt;
&lt;p&gt;The source code of the Qt libraries used is available at &lt;a href=&quot;%5&quot;&gt;%6&lt;/a&gt;&lt;/p&gt;</translation>
    </message>
</context>
</TS>
