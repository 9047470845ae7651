// The plan page's keys in the application's window, where the page is one
// stop of the window's Tab order: Tab walks the page's controls (decision
// options, switches, buttons) rather than its thousands of links, F7 walks
// the links, and each stop shows a ring. Runs in a world of its own; the
// window calls step() and enter() and leaves the page when they say false.
(function () {
  'use strict';
  var controls = 'button, summary, input, select, textarea, [tabindex]:not([tabindex="-1"])';
  var links = 'a[href]';
  var ring = 'quarry-keyed';

  function usable(element) {
    return !element.disabled && element.getClientRects().length > 0 &&
      getComputedStyle(element).visibility !== 'hidden';
  }

  function stops(selector) {
    return Array.prototype.filter.call(document.querySelectorAll(selector), usable);
  }

  function showRing(element) {
    if (!document.getElementById(ring)) {
      var style = document.createElement('style');
      style.id = ring;
      style.textContent = '.' + ring + ' { outline: 2px solid #0a66d8 !important; outline-offset: 2px !important; }';
      (document.head || document.documentElement).appendChild(style);
    }
    element.classList.add(ring);
    element.addEventListener('blur', function () { element.classList.remove(ring); }, { once: true });
  }

  // The stop after (or before) the focused element in the page's order,
  // also when the focus is on something that is no stop (a link, nothing).
  function next(items, forward) {
    var active = document.activeElement;
    var at = items.indexOf(active);
    if (at >= 0) return items[at + (forward ? 1 : -1)];
    if (!active || active === document.body || active === document.documentElement)
      return forward ? items[0] : items[items.length - 1];
    var after = items.filter(function (item) {
      return active.compareDocumentPosition(item) & Node.DOCUMENT_POSITION_FOLLOWING;
    });
    return forward ? after[0] : items[items.length - after.length - 1];
  }

  function focus(element) {
    if (!element) return false;
    element.focus({ preventScroll: true });
    element.scrollIntoView({ block: 'nearest', inline: 'nearest' });
    showRing(element);
    return document.activeElement === element;
  }

  window.quarryKeys = Object.freeze({
    // Moves to the next control (or link); false at the page's end.
    step: function (forward, toLinks) { return focus(next(stops(toLinks ? links : controls), forward)); },
    // The focus comes into the page from the window: its first or last control.
    enter: function (forward) {
      var items = stops(controls);
      return focus(forward ? items[0] : items[items.length - 1]);
    }
  });
})();
