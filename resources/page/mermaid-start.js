try {
  (function () {
    'use strict';
    var rootStyle = getComputedStyle(document.documentElement);
    var token = function (name) { return rootStyle.getPropertyValue(name).trim(); };
    var swapImages = function () {
      if (typeof window.quarryAssets === 'function') window.quarryAssets();
    };
    mermaid.initialize({
      startOnLoad: false,
      theme: 'base',
      securityLevel: 'loose',
      // Large plans (hundreds of screens, thousands of moves) must still draw.
      maxTextSize: 4000000,
      maxEdges: 20000,
      themeVariables: {
        fontFamily: getComputedStyle(document.body).fontFamily,
        fontSize: '14px',
        background: token('--surface'),
        primaryColor: token('--bg'),
        primaryTextColor: token('--fg'),
        primaryBorderColor: token('--line'),
        lineColor: token('--muted'),
        textColor: token('--fg'),
        edgeLabelBackground: token('--surface'),
        tertiaryColor: token('--surface')
      },
      flowchart: {
        htmlLabels: true,
        useMaxWidth: false,
        curve: 'basis',
        nodeSpacing: 30,
        rankSpacing: 38,
        padding: 10
      }
    });
    Promise.resolve(mermaid.run({ querySelector: '.mermaid' })).then(swapImages, swapImages);
  })();
} catch (e) {
  // Without the library the graph keeps its source text; everything else is drawn already.
}
