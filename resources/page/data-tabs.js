(function () {
  'use strict';
  // Pages opened from disk share one storage in some browsers: each page keeps its own.
  var KEY = 'quarrystone.data:' + location.pathname;
  var XLINK = 'http://www.w3.org/1999/xlink';
  var tabs = Array.prototype.slice.call(document.querySelectorAll('.dtabs button[data-d]'));
  var panels = Array.prototype.slice.call(document.querySelectorAll('.dpanel[data-d]'));

  // Ids may be written percent-encoded (graph links, the location) or as they
  // are; a stray "%" falls back to the text as written.
  function decode(text) {
    try { return decodeURIComponent(text); } catch (e) { return text; }
  }

  function byRef(ref) {
    if (!ref) return null;
    return document.getElementById(decode(ref)) || document.getElementById(ref);
  }

  function hrefOf(link) {
    return link.getAttribute('href') || link.getAttributeNS(XLINK, 'href') || '';
  }

  function isCurrent(href) {
    return location.hash !== '' && decode(location.hash) === decode(href);
  }

  function choose(value) {
    var panel = panels.filter(function (p) { return p.getAttribute('data-d') === value; })[0];
    if (!panel) return;
    panels.forEach(function (p) { p.hidden = p !== panel; });
    tabs.forEach(function (tab) {
      tab.setAttribute('aria-pressed', tab.getAttribute('data-d') === value ? 'true' : 'false');
    });
    try { window.localStorage.setItem(KEY, value); } catch (e) { /* storage off: nothing is remembered */ }
  }

  function reveal(ref) {
    var element = byRef(ref);
    if (!element) return null;
    var panel = element.closest('.dpanel');
    if (panel && panel.hidden) choose(panel.getAttribute('data-d'));
    return element;
  }

  function slide(element) {
    if (!element || !element.parentElement) return;
    var row = element.parentElement.closest('.dpanel .models');
    if (!row) return;
    var offset = element.getBoundingClientRect().left - row.getBoundingClientRect().left - 2;
    // A position, not a distance: Chromium snaps a scrollBy to the next card in
    // its direction, so a 2 px nudge on a card already in place skips a card.
    row.scrollTo({ left: row.scrollLeft + offset, behavior: 'smooth' });
  }

  var stored = null;
  try { stored = window.localStorage.getItem(KEY); } catch (e) { stored = null; }
  if (stored !== null) choose(stored);

  tabs.forEach(function (tab) {
    tab.addEventListener('click', function () { choose(tab.getAttribute('data-d')); });
  });

  document.addEventListener('click', function (event) {
    // A graph link in the application is followed by the zoom script after the view is reset.
    if (event.defaultPrevented || !(event.target instanceof Element)) return;
    var link = event.target.closest('a');
    if (!link) return;
    var href = hrefOf(link);
    if (href.charAt(0) !== '#') return;
    var element = reveal(href.slice(1));
    if (!element) return;
    // The browser does not move for the hash it already shows.
    if (isCurrent(href)) {
      event.preventDefault();
      element.scrollIntoView({ block: 'start' });
    }
    setTimeout(function () { slide(element); }, 0);
  });

  window.addEventListener('hashchange', function () {
    slide(byRef(location.hash.slice(1)));
  });

  // Once the document is whole (the embedded pictures in place), not at the
  // load event, which a graph library or font host that does not answer holds back.
  function goTo(element) {
    element.scrollIntoView({ block: 'start' });
    slide(element);
  }

  if (location.hash.length > 1) {
    var opened = reveal(location.hash.slice(1));
    if (opened) {
      if (document.readyState === 'loading') {
        document.addEventListener('DOMContentLoaded', function () { goTo(opened); });
      } else {
        goTo(opened);
      }
    }
  }
})();
