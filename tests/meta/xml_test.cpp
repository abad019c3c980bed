#include "meta/XmlDocument.h"

#include <gtest/gtest.h>

#include <QString>

#include <algorithm>
#include <memory>

namespace
{

const QString kBom = QString(QChar(0xFEFF));

QString serialized(const XmlDocument& document)
{
    QString out = QStringLiteral("stale");
    document.serialize(out);
    return out;
}

struct ParseCase {
    const char16_t* input;
    bool accepted;
    // Expected serialization after the BOM; null when the parse must fail.
    const char16_t* output;
};

class ParseTable : public testing::TestWithParam<ParseCase>
{
};

TEST_P(ParseTable, AcceptsOrRejectsAndWritesBack)
{
    const ParseCase& c = GetParam();
    XmlDocument document;
    const QString input = QStringView(c.input).toString(); // keeps a leading U+FEFF
    ASSERT_EQ(document.parse(input), c.accepted) << input.toStdString();
    if (c.output) {
        EXPECT_EQ(serialized(document), kBom + QStringView(c.output).toString())
            << input.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, ParseTable,
    testing::Values(
        // leading mark and white space
        ParseCase{u"\uFEFF<A/>", true, u"<A />\r\n"},
        ParseCase{u"\uFEFF  \r\n\t<A/>", true, u"<A />\r\n"},
        ParseCase{u" \uFEFF <A/>", true, u"<A />\r\n"}, ParseCase{u"", false, nullptr},
        ParseCase{u"\uFEFF", false, nullptr}, ParseCase{u"\uFEFF \r\n ", false, nullptr},
        // declarations and comments are not known
        ParseCase{u"<?xml version=\"1.0\"?><A/>", false, nullptr},
        ParseCase{u"<!-- c --><A/>", false, nullptr},
        ParseCase{u"<A><!-- c --></A>", false, nullptr},
        // an image's information with a comment among its elements, as another tool writes it
        ParseCase{u"<IMAGE INDEX=\"1\"><NAME>a</NAME><!--c--><FLAGS>b</FLAGS></IMAGE>", false,
                  nullptr},
        ParseCase{u"<IMAGE><NAME>a<!--c--></NAME></IMAGE>", false, nullptr},
        // empty forms
        ParseCase{u"<A/>", true, u"<A />\r\n"}, ParseCase{u"<A />", true, u"<A />\r\n"},
        ParseCase{u"<A></A>", true, u"<A />\r\n"}, ParseCase{u"<A>   </A>", true, u"<A />\r\n"},
        ParseCase{u"<A>\r\n\t</A>", true, u"<A />\r\n"},
        // text keeps trailing white space, loses leading white space
        ParseCase{u"<A>  x y  </A>", true, u"<A>x y  </A>\r\n"},
        ParseCase{u"<A>x\r\n</A>", true, u"<A>x\r\n</A>\r\n"},
        // attributes
        ParseCase{u"<A x='1' y=\"2\"/>", true, u"<A x=\"1\" y=\"2\" />\r\n"},
        ParseCase{u"<A x=\"1\" x=\"2\"/>", true, u"<A x=\"2\" />\r\n"},
        ParseCase{u"<A x=\"1\"y=\"2\">t</A>", true, u"<A x=\"1\" y=\"2\">t</A>\r\n"},
        ParseCase{u"<A x = 'a\"b' />", true, u"<A x=\"a&quot;b\" />\r\n"},
        ParseCase{u"<A ='v'/>", true, u"<A =\"v\" />\r\n"}, ParseCase{u"<A x>", false, nullptr},
        ParseCase{u"<A x=1>", false, nullptr}, ParseCase{u"<A x=\"1>", false, nullptr},
        ParseCase{u"<A x='1\"/>", false, nullptr},
        // names
        ParseCase{u"< A/>", false, nullptr}, ParseCase{u"<A></A >", false, nullptr},
        ParseCase{u"<A></B>", false, nullptr}, ParseCase{u"<A></a>", false, nullptr},
        ParseCase{u"<A\uFEFF/>", false, nullptr}, ParseCase{u"<A#/>", false, nullptr},
        ParseCase{u"<A=/>", false, nullptr}, ParseCase{u"<A/ >", false, nullptr},
        ParseCase{u"<>x</>", true, u"<>x</>\r\n"},
        ParseCase{u"<\u540D>\u503C</\u540D>", true, u"<\u540D>\u503C</\u540D>\r\n"},
        // mixed content
        ParseCase{u"<A>text<B/></A>", false, nullptr},
        ParseCase{u"<A><B/>text</A>", false, nullptr},
        // whatever follows the root is not examined
        ParseCase{u"<A><B/></A>garbage", true, u"<A>\r\n  <B />\r\n</A>\r\n"},
        ParseCase{u"<A/><B/>", true, u"<A />\r\n"},
        // nesting and layout
        ParseCase{u"<A>\r\n <B>\r\n<C>1</C>\r\n</B><D/></A>", true,
                  u"<A>\r\n  <B>\r\n    <C>1</C>\r\n  </B>\r\n  <D />\r\n</A>\r\n"},
        ParseCase{u"<A>\uFEFF<B/>\uFEFF</A>", true, u"<A>\r\n  <B />\r\n</A>\r\n"}));

INSTANTIATE_TEST_SUITE_P(
    References, ParseTable,
    testing::Values(
        ParseCase{u"<A>&amp;</A>", true, u"<A>&amp;</A>\r\n"},
        ParseCase{u"<A>&lt;/NAME&gt;</A>", true, u"<A>&lt;/NAME&gt;</A>\r\n"},
        ParseCase{u"<A>&quot;&apos;</A>", true, u"<A>\"'</A>\r\n"},
        ParseCase{u"<A>&#65;&#x42;&#x4e2d;</A>", true, u"<A>AB\u4E2D</A>\r\n"},
        ParseCase{u"<A>&#x1F600;</A>", true, u"<A>\U0001F600</A>\r\n"},
        // no valid reference: the '&' is a literal character
        ParseCase{u"<A>a & b</A>", true, u"<A>a &amp; b</A>\r\n"},
        ParseCase{u"<A>&amp</A>", true, u"<A>&amp;amp</A>\r\n"},
        ParseCase{u"<A>&#0;&#xD800;&#x110000;&#;&#x;&#12a;</A>", true,
                  u"<A>&amp;#0;&amp;#xD800;&amp;#x110000;&amp;#;&amp;#x;&amp;#12a;</A>\r\n"},
        ParseCase{u"<A>&#99999999999999999999;</A>", true,
                  u"<A>&amp;#99999999999999999999;</A>\r\n"},
        ParseCase{u"<A>&</A>", true, u"<A>&amp;</A>\r\n"},
        ParseCase{u"<A v='&lt;&amp;&gt;&quot;'/>", true, u"<A v=\"&lt;&amp;&gt;&quot;\" />\r\n"},
        ParseCase{u"<A>&amp;lt;</A>", true, u"<A>&amp;lt;</A>\r\n"}));

TEST(XmlParse, TextCutAnywhereFails)
{
    const QString full = QStringLiteral("\uFEFF<WIM a=\"1\"><IMAGE INDEX='1'><NAME>n &amp; m</NAME>"
                                        "<FLAGS/><X></X></IMAGE></WIM>");
    XmlDocument complete;
    ASSERT_TRUE(complete.parse(full));
    for (qsizetype length = 0; length < full.size(); ++length) {
        // An exact-size heap buffer, so a read past the end is caught by sanitizers.
        const auto cut = std::make_unique<char16_t[]>(length);
        std::copy_n(full.utf16(), length, cut.get());
        XmlDocument document;
        EXPECT_FALSE(document.parse(QStringView(cut.get(), length))) << length;
    }
}

TEST(XmlParse, ParseReplacesThePreviousTree)
{
    XmlDocument document;
    ASSERT_TRUE(document.parse(u"<A><B/></A>"));
    ASSERT_TRUE(document.parse(u"<C>t</C>"));
    EXPECT_EQ(document.root().name(), u"C");
    EXPECT_EQ(document.root().text(), u"t");
    EXPECT_FALSE(document.root().hasChildren());
}

TEST(XmlParse, NestingDepthIsBounded)
{
    auto nested = [](int depth) {
        QString text;
        for (int i = 0; i < depth; ++i)
            text += u"<E>";
        for (int i = 0; i < depth; ++i)
            text += u"</E>";
        return text;
    };
    XmlDocument document;
    EXPECT_TRUE(document.parse(nested(XmlDocument::maxDepth)));
    EXPECT_FALSE(document.parse(nested(XmlDocument::maxDepth + 1)));
    // Far deeper hostile input: refused without exhausting the stack.
    EXPECT_FALSE(document.parse(nested(1000000)));
    QString openOnly;
    for (int i = 0; i < 1000000; ++i)
        openOnly += u"<E>";
    EXPECT_FALSE(document.parse(openOnly));
}

// Trees built by code have no depth bound; destroying or writing them must not recurse.
TEST(XmlTree, DeepTreeBuiltByCodeSerializesAndDestroys)
{
    auto chain = [](XmlDocument& document, int depth) {
        XmlNode* node = &document.root();
        for (int i = 0; i < depth; ++i)
            node = node->appendChild(std::make_unique<XmlNode>(QStringLiteral("E")));
        node->setText(QStringLiteral("x"));
    };
    {
        // Output grows with the square of the depth (indentation), so keep this one modest.
        constexpr int depth = 3000;
        XmlDocument document;
        chain(document, depth);
        const QString out = document.serialize();
        EXPECT_TRUE(out.endsWith(u"</>\r\n"));
        EXPECT_EQ(out.count(u"</E>"), depth);
        EXPECT_TRUE(out.contains(QString(2 * depth, u' ') + QStringLiteral("<E>x</E>\r\n")));
        XmlDocument reread;
        EXPECT_FALSE(reread.parse(out)); // deeper than parse accepts
    }
    auto document = std::make_unique<XmlDocument>();
    chain(*document, 1000000);
    document.reset();
    XmlNode detached(QStringLiteral("D"));
    XmlNode* node = &detached;
    for (int i = 0; i < 1000000; ++i)
        node = node->prependChild(std::make_unique<XmlNode>(QStringLiteral("E")));
    detached.setText(QStringLiteral("t"));
    EXPECT_FALSE(detached.hasChildren());
}

TEST(XmlTree, FreshDocument)
{
    XmlDocument document;
    EXPECT_EQ(serialized(document), kBom + QStringLiteral(u"< />\r\n"));
    EXPECT_TRUE(document.root().name().isEmpty());
    EXPECT_EQ(document.root().parent(), nullptr);
}

TEST(XmlTree, ExampleLayout)
{
    XmlDocument document;
    ASSERT_TRUE(document.parse(u"<IMAGE/>"));
    XmlNode& image = document.root();
    image.appendChild(std::make_unique<XmlNode>(QStringLiteral("NAME")))
        ->setText(QStringLiteral("Win"));
    image.appendChild(std::make_unique<XmlNode>(QStringLiteral("FLAGS")));
    XmlNode* windows = image.appendChild(std::make_unique<XmlNode>(QStringLiteral("WINDOWS")));
    windows->appendChild(std::make_unique<XmlNode>(QStringLiteral("ARCH")))
        ->setText(QStringLiteral("9"));
    EXPECT_EQ(serialized(document), kBom + QStringLiteral(u"<IMAGE>\r\n"
                                                          u"  <NAME>Win</NAME>\r\n"
                                                          u"  <FLAGS />\r\n"
                                                          u"  <WINDOWS>\r\n"
                                                          u"    <ARCH>9</ARCH>\r\n"
                                                          u"  </WINDOWS>\r\n"
                                                          u"</IMAGE>\r\n"));

    XmlDocument withAttributes;
    ASSERT_TRUE(withAttributes.parse(u"<E/>"));
    withAttributes.root().setAttribute(QStringLiteral("x"), QStringLiteral("1"));
    withAttributes.root().setAttribute(QStringLiteral("y"), QStringLiteral("2"));
    EXPECT_EQ(serialized(withAttributes), kBom + QStringLiteral(u"<E x=\"1\" y=\"2\" />\r\n"));
    withAttributes.root().setAttribute(QStringLiteral("x"), QStringLiteral("3"));
    withAttributes.root().setText(QStringLiteral("t"));
    EXPECT_EQ(serialized(withAttributes), kBom + QStringLiteral(u"<E x=\"3\" y=\"2\">t</E>\r\n"));
}

TEST(XmlTree, ChildOperations)
{
    XmlDocument document;
    ASSERT_TRUE(document.parse(u"<R><a>1</a><b/><a>2</a></R>"));
    XmlNode& root = document.root();
    ASSERT_NE(root.findChild(u"a"), nullptr);
    EXPECT_EQ(root.findChild(u"a")->text(), u"1");
    EXPECT_EQ(root.findChild(u"A"), nullptr);
    EXPECT_EQ(root.findChild(u""), nullptr);

    XmlNode* first = root.prependChild(std::make_unique<XmlNode>(QStringLiteral("z")));
    EXPECT_EQ(root.firstChild(), first);
    EXPECT_EQ(first->parent(), &root);
    EXPECT_EQ(first->nextSibling()->name(), u"a");
    EXPECT_EQ(first->nextSibling()->previousSibling(), first);
    EXPECT_EQ(root.lastChild()->text(), u"2");

    // A grandchild is not found from the root.
    root.findChild(u"b")->appendChild(std::make_unique<XmlNode>(QStringLiteral("g")));
    EXPECT_EQ(root.findChild(u"g"), nullptr);

    root.removeChildren();
    EXPECT_EQ(root.findChild(u"a"), nullptr);
    EXPECT_FALSE(root.hasChildren());
    EXPECT_EQ(serialized(document), kBom + QStringLiteral(u"<R />\r\n"));
    root.appendChild(std::make_unique<XmlNode>(QStringLiteral("n")));
    EXPECT_EQ(root.firstChild(), root.lastChild());
    EXPECT_EQ(serialized(document), kBom + QStringLiteral(u"<R>\r\n  <n />\r\n</R>\r\n"));
}

TEST(XmlTree, TextAndChildrenExcludeEachOther)
{
    XmlDocument document;
    ASSERT_TRUE(document.parse(u"<R>text</R>"));
    document.root().removeChildren(); // no children: text stays
    EXPECT_EQ(document.root().text(), u"text");
    document.root().appendChild(std::make_unique<XmlNode>(QStringLiteral("c")));
    EXPECT_TRUE(document.root().text().isEmpty());
    document.root().setText(QStringLiteral("again"));
    EXPECT_FALSE(document.root().hasChildren());
    EXPECT_EQ(serialized(document), kBom + QStringLiteral(u"<R>again</R>\r\n"));
    document.root().prependChild(std::make_unique<XmlNode>(QStringLiteral("p")));
    EXPECT_TRUE(document.root().text().isEmpty());
    EXPECT_EQ(document.root().appendChild(nullptr), nullptr);
}

// Any text set through the tree reads back unchanged, and markup in a value cannot add
// elements or attributes.
TEST(XmlTree, ValuesSurviveARoundTrip)
{
    const QString values[] = {
        QStringLiteral("a & b"),
        QStringLiteral("x</NAME><FLAGS>evil</FLAGS><NAME>"),
        QStringLiteral("&amp; &lt; &#65;"),
        QStringLiteral("quote \" and ' apostrophe > gt"),
        QStringLiteral("\u4E2D\u6587\u540D\u79F0"),
        QString::fromUcs4(U"\U0001F600 \U00020000 outside the BMP"),
    };
    for (const QString& value : values) {
        XmlDocument document;
        ASSERT_TRUE(document.parse(u"<IMAGE><NAME/></IMAGE>"));
        document.root().setAttribute(QStringLiteral("A"), value);
        document.root().findChild(u"NAME")->setText(value);
        document.root().appendChild(std::make_unique<XmlNode>(QStringLiteral("E")));
        const QString out = document.serialize();

        XmlDocument reread;
        ASSERT_TRUE(reread.parse(out)) << out.toStdString();
        ASSERT_EQ(reread.root().attributes().size(), 1u);
        EXPECT_EQ(reread.root().attributes()[0].value, value);
        XmlNode* name = reread.root().findChild(u"NAME");
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(name->text(), value);
        EXPECT_EQ(name->nextSibling()->name(), u"E");
        EXPECT_EQ(name->nextSibling()->nextSibling(), nullptr);
        // Written a second time, the text is byte-identical (no escaping creep).
        EXPECT_EQ(reread.serialize(), out);
    }
}

// XML 1.0 cannot carry control characters other than TAB, LF and CR, U+FFFE, U+FFFF or a
// lone surrogate, not even as references: a tree holding one, in a text, an attribute or a
// name, is not serialized at all. Every other character is written as it is.
TEST(XmlTree, CharactersXmlCannotCarryAreNeverSerialized)
{
    const auto text = [](std::initializer_list<char16_t> units) {
        return QString(reinterpret_cast<const QChar*>(units.begin()), qsizetype(units.size()));
    };
    const struct {
        QString value;
        bool carried;
    } cases[] = {
        {text({'W', 'i', 'n', 0x1B, 'N', 'T'}), false},
        {text({0x01}), false},
        {text({'a', 0x00}), false},
        {text({'a', 0xFFFE}), false},
        {text({0xFFFF}), false},
        {text({'x', 0xD800}), false},
        {text({0xDC00, 'y'}), false},
        {text({0xDC00, 0xD800}), false}, // a pair in the wrong order
        {text({0xD83D, 0xDE00, 0xFFFD, 0x7F, 0x85, '\t', '\n', '\r', 'a'}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.toUtf8().toHex().toStdString());
        EXPECT_EQ(isXmlText(c.value), c.carried);
        for (int place = 0; place < 4; ++place) {
            XmlDocument document;
            ASSERT_TRUE(document.parse(u"<IMAGE><NAME>x</NAME><FLAGS/></IMAGE>"));
            XmlNode& root = document.root();
            if (place == 0)
                root.findChild(u"NAME")->setText(c.value);
            else if (place == 1)
                root.findChild(u"FLAGS")->setAttribute(QStringLiteral("a"), c.value);
            else if (place == 2)
                root.setAttribute(u"a"_qs + c.value, QStringLiteral("v"));
            else
                root.appendChild(std::make_unique<XmlNode>(u"E"_qs + c.value));
            QString out = QStringLiteral("stale");
            EXPECT_EQ(document.serialize(out), c.carried) << "place " << place;
            EXPECT_EQ(out.isEmpty(), !c.carried) << "place " << place;
            EXPECT_EQ(out.contains(c.value), c.carried) << "place " << place;
        }
    }
}

} // namespace
