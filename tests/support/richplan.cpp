#include "support/richplan.h"

#include "support/planrecords.h"

namespace RichPlan {

namespace {

using PlanRecords::action;
using PlanRecords::sourced;
using PlanRecords::arg;

Transition move(const QString &from, const QString &to, const QString &trigger, const QString &kind = "push")
{
    Transition t;
    t.from = from;
    t.to = to;
    t.trigger = trigger;
    t.kind = kind;
    return t;
}

Field field(const QString &name, const QString &type, const QString &filledAt = {}, const QString &source = "api")
{
    Field f;
    f.name = name;
    f.type = type;
    f.filledAt = filledAt;
    f.source = source;
    return f;
}

DataModel model(const QString &name, const QList<Field> &fields, const QStringList &sharedIn = {})
{
    DataModel m;
    m.name = name;
    m.fields = fields;
    m.sharedIn = sharedIn;
    return m;
}

Api::ApiField apiField(const QString &name, const QString &type, bool required, const QString &location,
                       const QString &desc)
{
    Api::ApiField f;
    f.name = name;
    f.type = type;
    f.required = required;
    f.location = location;
    f.desc = desc;
    return f;
}

StringKey string(const QString &key, const QString &ko, const QString &screen, const QString &source)
{
    StringKey s;
    s.key = key;
    s.ko = ko;
    s.screen = screen;
    s.source = source;
    return s;
}

QList<Screen> screens()
{
    Screen feed;
    feed.key = "feed";
    feed.name = "HarborClipsFeed";
    feed.title = "클립 피드";
    feed.figmaNodes = {"12:35", "12:36"};
    feed.figmaLabel = "TO-BE";
    feed.image.before = "img/node-12-35.png";
    feed.serverData = {"GET /v1/clips"};
    feed.actions = {action("openDetail", "클립 보기"), action("onClose", "×"), action("tapFilter", "필터")};
    feed.rules = {sourced("한 번에 20개씩 불러온다", "spec"), sourced("빈 목록이면 안내 문구를 보인다", "inferred")};
    feed.platformNotes.android = "Paging3 사용";

    Screen detail;
    detail.key = "clip-detail";
    detail.name = "HarborClipsDetail";
    detail.title = "클립 \"상세\"";
    detail.figmaNodes = {"12:37"};
    detail.image.before = "img/it's.png";
    detail.condition = sourced("로그인한 사용자만", "inferred");
    detail.args = {arg("clipId", ""), arg("clip", "ClipItem?")};
    detail.actions = {action("onBack", ""), action("tapPlay", "재생하기"), action("tapComment", "댓글")};
    detail.platformNotes.ios = "AVPlayer 사용";

    Screen sheet;
    sheet.key = "comment-sheet";
    sheet.name = "HarborClipsCommentSheet";
    sheet.title = "댓글 <시트>";
    sheet.kind = "sheet";
    sheet.figmaLabel = "";
    sheet.image.before = "img/node-12-40.png";
    sheet.args = {arg("filter", "FeedFilter")};
    sheet.actions = {action("onDone", "확")};
    sheet.platformNotes = {"BottomSheet", "sheet(detents:)"};

    Screen login;
    login.key = "login";
    login.name = "HarborClips";
    login.title = "로그인";
    login.kind = "dialog";
    login.condition = sourced("", "spec");
    login.actions = {action("submit", "")};

    return {feed, detail, sheet, login};
}

QList<Transition> transitions()
{
    Transition push = move("@push-open", "clip-detail", "push");
    push.source = "spec";

    Transition toDetail = move("feed", "clip-detail", "openDetail");
    toDetail.condition = "로그인";
    toDetail.passes = {"clipId", "clip"};
    Transition toLogin = move("feed", "login", "openDetail");
    toLogin.condition = "비로그인";

    Transition back = move("clip-detail", "feed", "onBack", "pop");
    Transition toSheet = move("clip-detail", "comment-sheet", "tapComment");
    toSheet.source = "human";

    Transition sheetDone = move("comment-sheet", "feed", "onDone", "dismiss");
    sheetDone.popUpTo = "feed";
    Transition loginDone = move("login", "feed", "submit", "dismiss");
    loginDone.popUpTo = "";

    Transition leave = move("feed", "@home", "onClose", "pop");
    Transition share = move("clip-detail", "share", "shareLink");
    share.source = "api";

    return {push, toDetail, toLogin, back, toSheet, sheetDone, loginDone, leave, share};
}

QList<DataModel> models()
{
    DataModel page = model("ClipPage", {field("items", "[ClipItem]?", "feed"), field("nextCursor", "String?", "feed")});
    page.apiAligned = true;
    DataModel item = model("ClipItem", {field("id", "String", "feed"), field("authors", "Map<String, Author>", "feed"),
                                        field("title", "String", "@push-open")});
    DataModel author = model("Author", {field("name", "String", "clip-detail")});
    DataModel filter = model("FeedFilter",
                             {field("sort", "String", "feed", "inferred"), field("range", "Int | 기간", "filter", "spec")},
                             {"feed", "comment-sheet", "feed"});
    DataModel draft = model("CommentDraft", {field("text", "String", "comment-sheet", "human")});
    return {page, item, author, filter, draft};
}

QList<Api> apis()
{
    Api clips;
    clips.key = "getClips";
    clips.method = "GET";
    clips.path = "/v1/clips";
    clips.status = "exists";
    clips.purpose = "클립 목록\n불러오기";
    clips.usedBy = {"feed", "@push-open"};
    clips.responseModel = "ClipPage";
    clips.requestFields = {apiField("cursor", "String?", false, "query", "다음 페이지 | 커서"),
                           apiField("size", "Int", true, "query", "")};

    Api comment;
    comment.key = "postComment";
    comment.method = "POST";
    comment.path = "/v1/clips/{id}/comments";
    comment.usedBy = {"comment-sheet"};
    comment.request = "본문: text";
    comment.response = "201";

    Api like;
    like.key = "likeClip";
    like.status = "beta";
    like.responseModel = "LikeResult";
    return {clips, comment, like};
}

QList<Decision> decisions()
{
    Decision open;
    open.key = "D1";
    open.question = "비로그인 사용자도 상세를 볼까?";
    open.context = "로그인 벽 | 이탈";
    open.proposal = "로그인 유도";

    Decision decided;
    decided.key = "D2";
    decided.question = "댓글 입력 방식";
    decided.proposal = "시트";
    decided.status = "decided";
    decided.result = "댓글은 시트로";
    decided.decidedBy = "정하늘";
    decided.decidedAt = "2024-05-02T10:00:00Z";

    Decision bare;
    bare.key = "D3";
    bare.question = "재생 자동 시작";
    bare.status = "decided";
    return {open, decided, bare};
}

Naming naming()
{
    Naming naming;
    naming.rules = {"화면 이름은 HarborClips 로 시작한다", "ViewModel 은 화면 이름 뒤에 ViewModel"};
    PlatformFiles feed;
    feed.android = {"feature/clips/feed", {"ClipsFeedScreen.kt", "ClipsFeedViewModel.kt"},
                    {"navigateToDetail", "navigateToLogin"}};
    feed.ios = {"Feed/Clips", {"ClipsFeedView.swift"}, {"showDetail"}};
    PlatformFiles detail;
    detail.android = {"feature/clips/detail", {"ClipsDetailScreen.kt"}, {}};
    detail.ios = {"Feed/Clips", {"ClipsDetailView.swift"}, {"showComments"}};
    PlatformFiles ghost;
    ghost.android = {"nowhere", {}, {"navigateNowhere"}};
    naming.platformMap = {{"feed", feed}, {"clip-detail", detail}, {"ghost", ghost}};
    return naming;
}

} // namespace

Plan make()
{
    Plan plan;
    plan.meta.feature = "HarborClips";
    plan.meta.title = "하버 클립 피드";
    plan.meta.summary = "짧은 영상 클립을 피드로 보고 댓글을 남긴다.";
    plan.meta.module = {"bazaar", "clips", "Bazaar", "Feed"};
    plan.meta.figma = {"AbC123", "12:34", "https://www.figma.com/design/AbC123/Clips?node-id=12-34"};
    plan.meta.entry = {"CLIP_CARD", "bazaar://clips"};
    plan.meta.createdBy = "정하늘";
    plan.meta.createdAt = "2024-05-01T09:00:00Z";
    plan.screens = screens();
    plan.transitions = transitions();
    plan.models = models();
    plan.apis = apis();
    plan.strings = {string("clips_title", "오늘의 클립", "feed", "spec"),
                    string("", "댓글을 남겨 주세요", "comment-sheet", "inferred"),
                    string("clip_play", "재생", "clip-detail", "inferred"), string("", "", "feed", "inferred"),
                    string("push_title", "외부 | 문구", "@push-open", "human")};
    plan.decisions = decisions();
    plan.naming = naming();
    return plan;
}

} // namespace RichPlan
